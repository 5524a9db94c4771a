// The program's entry: the single-instance guard, the courier that hands a location to the
// running player, and the player's own start and shutdown.
#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <fontconfig/fontconfig.h>

#include <QApplication>
#include <QPointer>
#include <QTimer>

#include "app/instance.h"
#include "playback/connectworker.h"
#include "diag/debuglog.h"
#include "ui/frmmain.h"
#include "app/mpris_port.h"
#include "ui/windowsystem.h"

namespace {

constexpr std::chrono::milliseconds kMediaControlsDelay{100};

// The player: the window, the hand-off listener, the message loop. Returns once the window
// has closed and the engine has been released.
void runPlayer(int argc, char** argv, velmora::InstanceLock& lock, bool haveLock) {
    // The window's class (WM_CLASS) is the application name; the desktop entry is velmora.
    QApplication::setApplicationName(velmora::kInstanceName);
    QApplication::setDesktopFileName("velmora");
    // Fontconfig reads and parses its whole configuration on first use, which would be the
    // window's first font: on a thread of its own that work overlaps Qt's start.
    std::thread fontconfigWarmUp([] { FcInit(); });
    // In a Wayland session the window goes through XWayland (see windowsystem.h).
    QtArguments qtArgs(argc, argv, CurrentSessionEnvironment());
    QApplication app(qtArgs.argc(), qtArgs.argv());
    fontconfigWarmUp.join();

    // FormCreate brings up the engine; when that fails it has ended the process already.
    QPointer<TfrmMain> frmMain = new TfrmMain;
    frmMain->FormCreate();
    frmMain->show();
    // Desktop media controls (MPRIS) on the session bus, when there is one. They come up once
    // the first station is being connected, so that their bus round trips do not delay it.
    std::unique_ptr<MediaControls> mediaControls;
    QTimer::singleShot(kMediaControlsDelay, frmMain, [&mediaControls, frmMain] {
        mediaControls = std::make_unique<MediaControls>(*frmMain);
    });

    // Couriers are heard once the window exists and its first showing has opened the
    // command-line location (FormShow runs from the event loop, queued before this).
    velmora::InstanceServer server(
        lock, [frmMain](const std::string& location) { frmMain->WMOpenLocation(location); });
    if (haveLock) QTimer::singleShot(0, &server, &velmora::InstanceServer::start);

    app.exec();
    DebugLog("window closed; shutting down");

    server.stop();
    mediaControls.reset();
    if (frmMain) {
        frmMain->FormDestroy();
        DebugLog("engine released");
        delete frmMain;
        DebugLog("window deleted");
    }
}

constexpr int kExitUsage = 2;

void printUsage(std::ostream& out) {
    out << "Usage: velmora [OPTION] [LOCATION]\n"
           "Play an internet radio station.\n"
           "\n"
           "LOCATION is a playlist file (.pls, .m3u, .asx). When a player is running already,\n"
           "it is handed the location and switches to it. Without a location the player plays\n"
           "its stored or built-in station.\n"
           "\n"
           "  -h, --help     show this help and exit\n"
           "  -v, --version  show the version and exit\n";
}

// What the command line asks for. Every argument that starts with "-" (other than "-" alone)
// is an option, wherever it stands, so a player only ever starts with no option given and its
// location is the first argument, which is where the window reads it.
struct CommandLine {
    enum class Action { Run, Help, Version, BadOption } action = Action::Run;
    std::string badOption;
};

CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine cl;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-' || arg[1] == '\0') continue;
        if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            cl.action = CommandLine::Action::Help;
            return cl;
        }
        if (strcmp(arg, "-v") == 0 || strcmp(arg, "--version") == 0) {
            cl.action = CommandLine::Action::Version;
            return cl;
        }
        if (cl.badOption.empty()) cl.badOption = arg;  // help or version further on still wins
    }
    if (!cl.badOption.empty()) cl.action = CommandLine::Action::BadOption;
    return cl;
}

}  // namespace

int main(int argc, char** argv) {
    // Options are answered before anything else: no lock, no hand-off, no window.
    const CommandLine commandLine = parseCommandLine(argc, argv);
    switch (commandLine.action) {
        case CommandLine::Action::Help:
            printUsage(std::cout);
            return 0;
        case CommandLine::Action::Version:
            std::cout << "velmora " VELMORA_VERSION "\n";
            return 0;
        case CommandLine::Action::BadOption:
            std::cerr << "velmora: unknown option " << commandLine.badOption << "\n";
            printUsage(std::cerr);
            return kExitUsage;
        case CommandLine::Action::Run:
            break;
    }
    const std::string location = argc > 1 ? argv[1] : "";

    std::string why;
    std::optional<std::string> dir = velmora::runtimeDirectory(&why);
    velmora::InstanceLock lock;
    auto state = velmora::InstanceLock::State::Unavailable;
    if (dir) state = lock.acquire(*dir);
    if (state == velmora::InstanceLock::State::Unavailable)
        DebugLog("no instance lock (%s); starting as a player of its own",
                 dir ? "the lock file cannot be used" : why.c_str());

    if (state == velmora::InstanceLock::State::AnotherRuns && !location.empty()) {
        lock.release();
        return velmora::handOver(*dir, location, std::cerr);
    }

    runPlayer(argc, argv, lock, state != velmora::InstanceLock::State::Unavailable);
    // The window handle is closed and the engine released: a worker still connecting has been
    // aborted, and every worker returns from its next call at once.
    JoinConnectWorkers();
    DebugLog("application ended");
    lock.release();
    return 0;
}
