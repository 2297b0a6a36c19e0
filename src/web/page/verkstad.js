// Everything from a machine or a file goes into the page as text, never as HTML.
"use strict";
const $ = (id) => document.getElementById(id);
let vald = null;          // the machine whose page is open
let valdTape = false;     // that machine reads plain ISO tape: it can be drip-fed
const tape = {};          // each machine's kind, as the state says
const farter = {};        // last progress count and time per machine, for characters a second

const nyckel = $("nyckel");
nyckel.value = sessionStorage.getItem("nyckel") || "";
nyckel.addEventListener("change", () => sessionStorage.setItem("nyckel", nyckel.value));

function cell(tr, text, klass) {
  const td = document.createElement("td");
  td.textContent = text === undefined || text === null ? "" : String(text);
  if (klass) td.className = klass;
  tr.appendChild(td);
  return td;
}

function button(td, text, action) {
  const b = document.createElement("button");
  b.textContent = text;
  b.addEventListener("click", (e) => { e.stopPropagation(); action(); });
  td.appendChild(b);
  return b;
}

const url = (m, rest) => "/api/machines/" + encodeURIComponent(m) + rest;

async function api(method, path, body) {
  const headers = {};
  if (body !== undefined) headers["Content-Type"] = "application/json";
  if (nyckel.value) headers["Authorization"] = "Bearer " + nyckel.value;
  const r = await fetch(path, { method, headers, body: body === undefined ? undefined : JSON.stringify(body) });
  let data = null;
  try { data = await r.json(); } catch (e) { data = { error: r.statusText }; }
  return { status: r.status, data };
}

// Why a request was refused, or what became of its job.
function resultText(r) {
  const d = r.data || {};
  if (d.error) return d.error;
  return jobText(d);
}

// The API's words for a job's kind and state, as the page shows them.
const SLAG = {
  "list": "lista", "send": "sänd", "fetch": "hämta", "delete": "radera", "documents": "dokument",
  "compare": "jämför", "machine-load": "maskinen hämtar", "machine-store": "maskinen lämnar", "drip": "droppmatning",
};
const LAGE = { "queued": "i kö", "running": "pågår", "done": "klar", "failed": "misslyckades", "cancelled": "avbruten" };

// A size in the machine's list is its count of 128-byte blocks.
function blockText(size) {
  const n = parseInt(size, 10);
  return isNaN(n) ? (size || "") : n + " block";
}

function jobText(j) {
  const rows = (j.programs || []).map((p) => p.name + ": " + p.text);
  return [j.text || ""].concat(rows).filter((t) => t).join("\n");
}

// A request the server queued as a job: its answer once the job has ended.
async function awaitJob(r) {
  if (r.status !== 202) return r;
  let job = r.data;
  while (job && !["done", "failed", "cancelled"].includes(job.state)) {
    const w = await api("GET", "/api/jobs/" + encodeURIComponent(job.id) + "?wait=60");
    if (w.status !== 200) return w;
    job = w.data;
  }
  return { status: job.state === "done" ? 200 : 502, data: job };
}

function progressText(m) {
  if (!m.busy) return "";
  const run = m.run ? m.run.done + " av " + m.run.total + " program, " : "";
  return run + transferText(m);
}

function transferText(m) {
  const o = m.outbound;
  if (o && o.size > 0 && o.ms > 0) {
    const done = Math.max(o.written, 0);
    const rate = done * 1000 / o.ms;
    const left = rate > 0 ? Math.round((o.size - done) / rate) : null;
    return Math.floor(done * 100 / o.size) + " % (" + Math.round(rate) + " tecken/s" +
      (left === null ? "" : ", " + left + " s kvar") + ")";
  }
  const n = parseInt(m.progress, 10);
  const now = Date.now();
  const f = farter[m.name];
  let text = m.progress || "pågår";
  if (!isNaN(n) && f && n > f.n && now > f.t) text += " (" + Math.round((n - f.n) * 1000 / (now - f.t)) + " tecken/s)";
  if (!isNaN(n)) farter[m.name] = { n, t: now };
  return text;
}

function showMachines(list) {
  const body = $("maskiner").tBodies[0];
  body.replaceChildren();
  for (const m of list) {
    const tr = document.createElement("tr");
    tr.dataset.name = m.name;
    tape[m.name] = !!m.tape;
    if (m.name === vald) tr.className = "vald";
    cell(tr, m.name);
    cell(tr, m.state);
    // The last status text stays after a transfer; it says what happens only while one is under way.
    cell(tr, m.busy ? (m.status || "pågår") : "ledig");
    cell(tr, progressText(m));
    const t = m.lastTransfer;
    cell(tr, t ? t.time + " " + t.direction + " " + t.name + " " + t.size + " tecken " + t.result : "-",
         t ? (t.result === "klar" ? "klar" : "fel") : "");
    const d = m.today || {};
    cell(tr, (d.received || 0) + " / " + (d.sent || 0) + " / " + (d.failed || 0));
    tr.addEventListener("click", () => open(m.name));
    body.appendChild(tr);
  }
}

async function loadMachines() {
  const r = await api("GET", "/api/machines");
  if (r.status === 200) showMachines(r.data);
}

async function open(name) {
  vald = name;
  valdTape = !!tape[name];
  $("maskin").hidden = false;
  $("maskinnamn").textContent = name;
  $("resultat").textContent = "";
  $("meddelande").hidden = true;
  for (const tr of $("maskiner").tBodies[0].rows) tr.className = tr.dataset.name === name ? "vald" : "";
  await Promise.all([loadLibrary(), loadTraffic(), loadPrograms(false)]);
}

async function loadLibrary() {
  const m = vald;
  const r = await api("GET", url(m, "/library"));
  // Another machine opened meanwhile: its own load shows its files, not these.
  if (m !== vald) return;
  const body = $("bibliotek").tBodies[0];
  body.replaceChildren();
  body.dataset.machine = m;
  if (r.status !== 200) { $("resultat").textContent = resultText(r); return; }
  for (const f of r.data) {
    const tr = document.createElement("tr");
    tr.dataset.file = f.name;
    cell(tr, f.name);
    cell(tr, f.sizeText).title = f.size + " byte";
    cell(tr, f.date);
    cell(tr, f.fileComment, "kommentar");
    cell(tr, f.programComment, "kommentar");
    const knapp = cell(tr, "");
    const svar = cell(tr, "", "resultat");
    button(knapp, "Sänd", () => send(svar, f.name));
    if (valdTape) button(knapp, "Droppmata", () => {
      const from = prompt("Starta från N-nummer eller rad (tomt: från början):", "");
      if (from !== null) act(svar, "/drip", { file: f.name, from });
    });
    body.appendChild(tr);
  }
}

// The machine's own list: "Uppdatera" asks the machine (with the key); on
// opening a machine the page shows the list the server last had, and when.
async function loadPrograms(ask) {
  const body = $("program").tBodies[0];
  body.replaceChildren();
  if (ask) $("resultat").textContent = "Hämtar maskinens lista...";
  let r = ask ? await awaitJob(await api("POST", url(vald, "/programs"))) : null;
  if (!r || r.status === 200) r = await api("GET", url(vald, "/programs"));
  if (ask || r.status !== 200) $("resultat").textContent = r.status === 200 ? "" : resultText(r);
  $("listtid").textContent = r.status === 200 && r.data.time ? "(" + r.data.time + ")" : "";
  for (const p of (r.data && r.data.programs) || []) {
    const tr = document.createElement("tr");
    cell(tr, p.name);
    cell(tr, blockText(p.size));
    const td = cell(tr, "");
    button(td, "Hämta", () => act(null, "/fetch", { programs: [p.name] }));
    button(td, "Radera", () => {
      // The window's own question; the server deletes only with its answer.
      if (confirm("Är du säker på att du vill radera filen \"" + p.name + "\"?")) act(null, "/delete", { programs: [p.name], yes: true });
    });
    body.appendChild(tr);
  }
}

async function act(where, path, body) {
  const target = where || $("resultat");
  target.textContent = "Pågår...";
  target.classList.remove("klar", "fel");
  const r = await awaitJob(await api("POST", url(vald, path), body));
  show(target, where, r);
  if (path !== "/send") loadLibrary();
  return r;
}

function show(target, where, r) {
  const text = resultText(r) || (r.status === 200 ? "Klar." : "Fel " + r.status);
  // A program's row shows the verb's last words; the whole text is one hover away.
  target.textContent = where ? text.trim().split("\n").pop() : text;
  target.title = text;
  target.classList.remove("klar", "fel");
  target.classList.add(r.status === 200 ? "klar" : "fel");
}

// The server sends without overwriting; a program the machine already has
// goes again, with "yes", once the operator has said so (the window's question).
// A tape control keeps no list to look in: the operator is asked first,
// every time, since a program of the same number would be replaced.
async function send(where, file) {
  if (valdTape) {
    if (confirm("Maskinen läser remsa och kan inte visa sina program. \"" + file +
                "\" skriver över ett program med samma nummer i maskinen. Sända?"))
      await act(where, "/send", { files: [file], yes: true });
    return;
  }
  const r = await act(where, "/send", { files: [file] });
  const skipped = ((r.data && r.data.programs) || []).some((p) => p.result === "skipped" && /finns redan/i.test(p.text || ""));
  if (skipped && confirm("Filen \"" + file + "\" finns redan i maskinen. Skriva över?"))
    await act(where, "/send", { files: [file], yes: true });
}

// A program file from the operator's PC into the send folder; one it
// replaces is kept in the history.
async function upload() {
  const file = $("fil").files[0];
  if (!file || !vald) return;
  const exists = Array.from($("bibliotek").tBodies[0].rows).some((tr) => tr.dataset.file === file.name);
  if (exists && !confirm("Filen \"" + file.name + "\" finns redan i sändmappen. Ersätta den? (Den gamla sparas i historiken.)"))
    return;
  const headers = {};
  if (nyckel.value) headers["Authorization"] = "Bearer " + nyckel.value;
  $("resultat").textContent = "Laddar upp " + file.name + "...";
  const r = await fetch(url(vald, "/library/" + encodeURIComponent(file.name)), { method: "PUT", headers, body: file });
  let data = null;
  try { data = await r.json(); } catch (e) { data = { error: r.statusText }; }
  $("resultat").textContent = r.ok ? file.name + " ligger i sändmappen (" + data.size + " byte)." : (data.error || "Fel " + r.status);
  $("fil").value = "";
  loadLibrary();
}

function trafficRow(row) {
  const tr = document.createElement("tr");
  cell(tr, row.time);
  cell(tr, row.direction);
  cell(tr, row.link);
  cell(tr, row.type);
  cell(tr, row.command);
  cell(tr, row.selector);
  cell(tr, row.name);
  cell(tr, row.status ? row.status + (row.statusText ? " " + row.statusText : "") : "");
  cell(tr, row.size);
  cell(tr, row.checksumReceived || row.checksumComputed ? (row.checksumReceived || "-") + " / " + (row.checksumComputed || "-") : "");
  cell(tr, row.first);
  tr.addEventListener("click", () => showMessage(row));
  return tr;
}

// The message as text and as hex, sixteen bytes a line.
function showMessage(row) {
  const text = row.message || "";
  let hex = "";
  for (let i = 0; i < text.length; i += 16) {
    const part = text.slice(i, i + 16);
    hex += i.toString(16).padStart(6, "0") + "  " +
      Array.from(part, (c) => c.charCodeAt(0).toString(16).padStart(2, "0")).join(" ").padEnd(48) + "  " +
      part.replace(/[\x00-\x1f\x7f]/g, ".") + "\n";
  }
  const more = row.whole ? "" : "\n(de första " + text.length + " av " + row.size + " tecken)";
  $("meddelande").textContent = text + "\n\n" + hex + more;
  $("meddelande").hidden = false;
}

async function loadTraffic() {
  const r = await api("GET", url(vald, "/traffic"));
  const body = $("trafik").tBodies[0];
  body.replaceChildren();
  if (r.status !== 200) return;
  for (const row of r.data.slice().reverse()) body.appendChild(trafficRow(row));
}

async function loadLog() {
  const r = await api("GET", "/api/log");
  if (r.status !== 200) return;
  const list = $("logg");
  list.replaceChildren();
  for (const line of r.data) {
    const li = document.createElement("li");
    li.textContent = line;
    list.appendChild(li);
  }
}

// Every machine's jobs: queued and running first, each with "Avbryt".
async function loadJobs() {
  const r = await api("GET", "/api/jobs");
  if (r.status !== 200) return;
  const body = $("jobb").tBodies[0];
  body.replaceChildren();
  for (const j of r.data.slice(0, 200)) body.appendChild(jobRow(j));
}

function jobRow(j) {
  const tr = document.createElement("tr");
  tr.dataset.id = j.id;
  cell(tr, (j.created || "").replace("T", " ").slice(0, 19));
  cell(tr, j.machine);
  cell(tr, SLAG[j.kind] || j.kind).dataset.kind = j.kind;
  cell(tr, LAGE[j.state] || j.state, "tillstand").dataset.state = j.state;
  cell(tr, j.by);
  cell(tr, jobText(j), "kommentar");
  const td = cell(tr, "");
  if (j.state === "queued" || j.state === "running")
    button(td, "Avbryt", () => api("DELETE", "/api/jobs/" + encodeURIComponent(j.id)));
  return tr;
}

function jobChanged(j) {
  const body = $("jobb").tBodies[0];
  const old = Array.from(body.rows).find((tr) => tr.dataset.id === j.id);
  const tr = jobRow(j);
  if (old) old.replaceWith(tr);
  else body.insertBefore(tr, body.firstChild);
  while (body.rows.length > 200) body.deleteRow(-1);
}

$("uppdatera").addEventListener("click", () => loadPrograms(true));
$("jamfor").addEventListener("click", () => act(null, "/compare", {}));
$("laddaupp").addEventListener("click", upload);

let loggVantar = false;
function live() {
  const events = new EventSource("/api/events");
  events.addEventListener("open", () => { $("lage").textContent = "live"; });
  events.addEventListener("error", () => { $("lage").textContent = "ingen förbindelse"; });
  events.addEventListener("state", (e) => {
    showMachines(JSON.parse(e.data));
    if (!loggVantar) { loggVantar = true; setTimeout(() => { loggVantar = false; loadLog(); }, 1000); }
  });
  events.addEventListener("job", (e) => jobChanged(JSON.parse(e.data)));
  events.addEventListener("traffic", (e) => {
    const d = JSON.parse(e.data);
    if (d.machine !== vald) return;
    const body = $("trafik").tBodies[0];
    body.insertBefore(trafficRow(d.row), body.firstChild);
    while (body.rows.length > 500) body.deleteRow(-1);
  });
}

loadMachines();
loadJobs();
loadLog();
live();
