#!/usr/bin/env python3
"""The web page in headless Chromium: the machine table, "Sänd" with its
result in the row without a reload, the jobs in Swedish, "Uppdatera" asking
the machine for its list (sizes in block), a send over a program the machine
has once confirmed, an upload into the send folder, a comment holding
<script> as text, and the log with its "å" as "å".

    page_test.py BUILD_DIR [--screenshot FILE]
"""
import os, shutil, socket, subprocess, sys, tempfile

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
shot = sys.argv[sys.argv.index("--screenshot") + 1] if "--screenshot" in sys.argv else None
driver_path = shutil.which("chromedriver") or "/usr/bin/chromedriver"
browser = shutil.which("chromium") or "/usr/bin/chromium"
try:
    from selenium import webdriver
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    from selenium.common.exceptions import StaleElementReferenceException
except ImportError:
    print("HOPPAR ÖVER: python3-selenium saknas (kör scripts/setup)")
    sys.exit(77)
if not os.path.exists(driver_path) or not os.path.exists(browser):
    print("HOPPAR ÖVER: chromium eller chromedriver saknas (kör scripts/setup)")
    sys.exit(77)


def free_port(host):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def checksum(text):
    return b"%02d" % (sum(text[1:] if text.startswith(b"%") else text) & 15)


def click_machine(wait, name):
    """The machine table is rebuilt on every state event: find and click as one try."""
    def once(d):
        row = next((r for r in d.find_elements(By.CSS_SELECTOR, "#maskiner tbody tr") if r.get_attribute("data-name") == name), None)
        if row is None:
            return False
        row.click()
        return True
    wait.until(once)
    # The library shown is this machine's own, not the one open before.
    return wait.until(lambda d: d.find_element(
        By.CSS_SELECTOR, '#bibliotek tbody[data-machine="%s"] tr[data-file="O1000.NC"]' % name))


def ask_for(port, name):
    """A "C LOD" request from the machine's own address, as a machine sends it."""
    head = b"%CLOD    " + name.ljust(6) + b"  00" + b"\r"
    with socket.socket() as s:
        s.bind(("127.0.0.2", 0))
        s.connect(("127.0.0.1", port))
        s.sendall(head + b"\n" + checksum(head) + b"%")
        got = b""
        while not got.endswith(b"%") or len(got) < 20:
            part = s.recv(4096)
            if not part:
                break
            got += part
        return got


work = tempfile.mkdtemp()
procs = []
try:
    home = os.path.join(work, "hem")
    lib = os.path.join(home, "fras")
    memory = os.path.join(work, "maskinminne")
    os.makedirs(lib)
    os.makedirs(memory)
    with open(os.path.join(lib, "O1000.NC"), "wb") as f:
        f.write(b"(Fixtur <script>document.title='hackad'</script>)%\r\nO1000 (PLATTA)\r\nG0 X0 Y0\r\nM30\r\n%")
    with open(os.path.join(lib, "O2000.NC"), "wb") as f:
        f.write(b"(Bakre plattan)%\r\nO2000\r\nG1 X10\r\nM30\r\n%")
    sim_port, web_port = free_port("127.0.0.2"), free_port("127.0.0.1")
    procs.append(subprocess.Popen([os.path.join(build, "machine-sim"), "--memory", memory,
                                   "--tcp-listen", "127.0.0.2:%d" % sim_port],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    with open(os.path.join(home, "Fenmo32.INI"), "w", encoding="utf-8") as f:
        f.write("[Program]\r\nListenPort=0\r\nListenAddress=127.0.0.1\r\nWebPort=%d\r\nWebToken=hemlig-nyckel-1234\r\n" % web_port)
        f.write("[Maskin 1]\r\nNamn=Fräs 1\r\nTyp=0\r\nIP=127.0.0.2\r\nPort=%d\r\nExtension=NC\r\n" % sim_port)
        f.write("SendPath=%s\r\nRecPath=%s\r\nRootPath=%s\r\n" % (lib, lib, lib))
        f.write("[Maskin 2]\r\nNamn=Svarv 2\r\nTyp=0\r\nIP=127.0.0.3\r\nPort=9\r\nExtension=NC\r\nSendPath=%s\r\n" % lib)
        f.write("[Maskin 3]\r\nNamn=Remsa 3\r\nTyp=3\r\nComPort=99\r\nExtension=NC\r\nSendPath=%s\r\n" % lib)
    server = subprocess.Popen([os.path.join(build, "Fenmo32"), "--home", home, "serve", "--all"],
                              stdout=subprocess.PIPE, text=True)
    procs.append(server)
    while True:
        line = server.stdout.readline()
        assert line, "servern startade inte"
        if line.startswith("LISTENING "):
            server_port = int(line.split()[1])
        if line.startswith("WEB "):
            break

    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,1000"):
        options.add_argument(a)
    from selenium.webdriver.chrome.service import Service
    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    # The page redraws its lists as events come: an element seen a moment ago may be gone.
    wait = WebDriverWait(driver, 20, ignored_exceptions=[StaleElementReferenceException])
    try:
        driver.get("http://127.0.0.1:%d/" % web_port)
        wait.until(lambda d: [r.get_attribute("data-name") for r in d.find_elements(By.CSS_SELECTOR, "#maskiner tbody tr")]
                   == ["Fräs 1", "Svarv 2", "Remsa 3"])

        driver.find_element(By.ID, "nyckel").send_keys("hemlig-nyckel-1234")
        row = click_machine(wait, "Fräs 1")
        comment = row.find_elements(By.TAG_NAME, "td")[3].text
        assert comment == "Fixtur <script>document.title='hackad'</script>", comment
        assert driver.title != "hackad"

        driver.execute_script("window.utanOmladdning = 1")
        # The machine asks for a program: its rows arrive in the open page.
        ask_for(server_port, b"O2000")
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#trafik tbody tr")) >= 2)
        cells = [c.text for c in driver.find_elements(By.CSS_SELECTOR, "#trafik tbody tr")[-1].find_elements(By.TAG_NAME, "td")]
        assert cells[1:7] == ["in", "127.0.0.2", "C", "LOD", "", "O2000"], cells
        driver.find_elements(By.CSS_SELECTOR, "#trafik tbody tr")[0].click()
        wait.until(lambda d: "%RLOD" in d.find_element(By.ID, "meddelande").text)

        row.find_element(By.XPATH, ".//button[text()='Sänd']").click()
        result = row.find_element(By.CSS_SELECTOR, "td.resultat")
        wait.until(lambda d: result.text not in ("", "Pågår..."))
        assert driver.execute_script("return window.utanOmladdning") == 1, "sidan laddades om"
        assert "klar" in result.get_attribute("class"), result.text
        assert any(n.upper().startswith("O1000") for n in os.listdir(memory)), (result.text, os.listdir(memory))
        # The jobs list got the send as it ended, without a reload, in Swedish.
        def sent(d):
            return sum(1 for r in d.find_elements(By.CSS_SELECTOR, "#jobb tbody tr")
                       if [c.text for c in r.find_elements(By.TAG_NAME, "td")[2:4]] == ["sänd", "klar"])
        wait.until(lambda d: sent(d) == 1)

        # "Uppdatera" asks the machine (a POST with the key): the program just sent is in its list.
        driver.find_element(By.ID, "uppdatera").click()
        wait.until(lambda d: any(r.find_element(By.TAG_NAME, "td").text.upper().startswith("O1000")
                                 for r in d.find_elements(By.CSS_SELECTOR, "#program tbody tr")))
        assert driver.find_element(By.ID, "listtid").text.startswith("("), driver.find_element(By.ID, "listtid").text
        size = [r.find_elements(By.TAG_NAME, "td")[1].text for r in driver.find_elements(By.CSS_SELECTOR, "#program tbody tr")]
        assert all(t.endswith(" block") for t in size), size

        # Sending it again: the machine has it, so the page asks, and overwrites once told.
        stored = os.path.join(memory, next(n for n in os.listdir(memory) if n.upper().startswith("O1000")))
        before = os.stat(stored).st_mtime_ns
        row = driver.find_element(By.CSS_SELECTOR, '#bibliotek tr[data-file="O1000.NC"]')
        row.find_element(By.XPATH, ".//button[text()='Sänd']").click()
        from selenium.webdriver.support import expected_conditions
        alert = wait.until(expected_conditions.alert_is_present())
        assert "finns redan i maskinen" in alert.text, alert.text
        alert.accept()
        wait.until(lambda d: os.stat(stored).st_mtime_ns != before)

        # A program from the operator's PC into the send folder.
        upload = os.path.join(work, "O3000.NC")
        with open(upload, "wb") as f:
            f.write(b"%\r\nO3000\r\nG0 X3\r\nM30\r\n%")
        driver.find_element(By.ID, "fil").send_keys(upload)
        driver.find_element(By.ID, "laddaupp").click()
        wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, '#bibliotek tr[data-file="O3000.NC"]'))
        with open(os.path.join(lib, "O3000.NC"), "rb") as f:
            assert f.read() == b"%\r\nO3000\r\nG0 X3\r\nM30\r\n%"

        # "Lyssnar på 127.0.0.1, ..." is in the log in the locale's UTF-8.
        with open(os.path.join(home, "fenmo32.log"), "rb") as f:
            assert "Lyssnar på".encode("utf-8") in f.read()
        wait.until(lambda d: any("Lyssnar på" in li.text
                                 for li in d.find_elements(By.CSS_SELECTOR, "#logg li")))
        assert "\ufffd" not in driver.find_element(By.ID, "logg").text
        # A tape control has no list to look in: "Sänd" asks first, and sends nothing when told no.
        # Counted by machine and kind: other machines' late job events may still add rows.
        def tape_sends(d):
            rows = (r.find_elements(By.TAG_NAME, "td") for r in d.find_elements(By.CSS_SELECTOR, "#jobb tbody tr"))
            return sum(1 for c in rows if c[1].text == "Remsa 3" and c[2].get_attribute("data-kind") == "send")
        row = click_machine(wait, "Remsa 3")
        assert driver.find_element(By.ID, "maskinnamn").text == "Remsa 3"
        row.find_element(By.XPATH, ".//button[text()='Sänd']").click()
        alert = wait.until(expected_conditions.alert_is_present())
        assert "remsa" in alert.text and "skriver över" in alert.text, alert.text
        alert.dismiss()
        # Through the API as well, a send to it without "yes" is refused before any job.
        import urllib.request, urllib.error
        try:
            urllib.request.urlopen(urllib.request.Request(
                "http://127.0.0.1:%d/api/machines/Remsa%%203/send" % web_port, data=b'{"files":["O1000.NC"]}',
                method="POST", headers={"Authorization": "Bearer hemlig-nyckel-1234"}))
            assert False, "a send without yes to a tape machine was taken"
        except urllib.error.HTTPError as e:
            assert e.code == 400 and "ISO-remsa" in e.read().decode("utf-8"), e.code
        # Told yes, it goes as a job (to a port that does not open here), not refused for want of a list.
        row.find_element(By.XPATH, ".//button[text()='Sänd']").click()
        wait.until(expected_conditions.alert_is_present()).accept()
        result = row.find_element(By.CSS_SELECTOR, "td.resultat")
        wait.until(lambda d: result.text not in ("", "Pågår..."))
        assert "programlista" not in result.get_attribute("title"), result.get_attribute("title")
        # The one told yes made a job; the one told no made none.
        assert wait.until(tape_sends) == 1
        if shot:
            # The tape machine has no traffic to show: the picture is of the milling machine.
            click_machine(wait, "Fräs 1")
            wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#trafik tbody tr")) >= 4)
            driver.find_elements(By.CSS_SELECTOR, "#trafik tbody tr")[0].click()
            driver.save_screenshot(shot)
    finally:
        driver.quit()
    print("OK")
finally:
    for p in reversed(procs):
        p.terminate()
        p.wait(30)
    shutil.rmtree(work, ignore_errors=True)
