#include "app/quillon_app.h"

#include <wx/intl.h>
#include <wx/log.h>

#include "app/core.h"
#include "app/executable_path.h"
#include "app/run_modes.h"
#include "app/signal_queue.h"

Core* coreInstance = nullptr;

wxIMPLEMENT_DYNAMIC_CLASS(QuillonApp, wxAppConsole);

bool QuillonApp::OnInit() {
    // Make the default log target now, on the main thread, before any other
    // thread could log: records of other threads are handed to it.
    wxLog::GetActiveTarget();
    ignoreBrokenPipes();
    if (!wxAppConsole::OnInit()) return false;
    exePath = resolveExecutablePath(argc > 0 ? argv[0] : wxString());
    wxSetWorkingDirectory(exePath.GetPath(wxPATH_GET_VOLUME));
    coreInstance = new Core(exePath);
    return true;
}

int QuillonApp::OnRun() {
    return debug ? runForeground(*coreInstance) : runDaemon(*coreInstance, exePath, instance);
}

int QuillonApp::OnExit() {
    // Plugin code the stop had to leave running (a call that never
    // returned, threads of a plugin that refused itself) may still call the
    // Core: it then lives on until the process has ended.
    if (coreInstance != nullptr && !coreInstance->pluginCodeMayStillRun()) delete coreInstance;
    coreInstance = nullptr;
    return wxAppConsole::OnExit();
}

void QuillonApp::OnInitCmdLine(wxCmdLineParser& parser) {
    wxAppConsole::OnInitCmdLine(parser);
    parser.AddSwitch("d", "debug", _("do not daemonize"), wxCMD_LINE_PARAM_OPTIONAL);
}

bool QuillonApp::OnCmdLineParsed(wxCmdLineParser& parser) {
    if (!wxAppConsole::OnCmdLineParsed(parser)) return false;
    debug = parser.Found("debug");
    switch (instance.claim()) {
        case SingleInstance::Outcome::Claimed:
            break;
        case SingleInstance::Outcome::AnotherRunning:
            SingleInstance::reportAnotherRunning();
            return false;
        case SingleInstance::Outcome::Failed:
            wxLogError("%s", _("Could not tell whether Quillon is already running; not starting."));
            return false;
    }
    // A claim made here would be released by the daemon's parent when it
    // exits: the daemon claims again once it has forked.
    if (!debug) instance.release();
    return true;
}
