#include "app/startup.h"

#include "app/frm_main.h"
#include "app/splash.h"

#include <QEventLoop>
#include <QTimer>
#include <memory>

frm_main* RunStartup(const StartupOptions& options) {
    std::unique_ptr<frm_splash> splash;
    if (options.splash) {
        splash = std::make_unique<frm_splash>();
        splash->show();
        splash->repaint();
    }
    auto* window = new frm_main(options.port);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->Form_Load();
    if (splash) {
        // Events keep running while the splash stays up; the wait blocks
        // between them rather than spinning.
        QEventLoop wait;
        QTimer::singleShot(3000, &wait, &QEventLoop::quit);
        wait.exec();
    }
    window->show();
    return window;
}
