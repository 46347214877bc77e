// QuillonApp: the server's application object.
//
// The toolkit's console entry creates it, lets it parse the command line and
// initialise (the single-instance claim, the executable's path, the working
// directory, the Core), runs it in the foreground or as a daemon, and lets it
// clean up. Main thread only.
#pragma once

#include <wx/app.h>
#include <wx/cmdline.h>
#include <wx/filename.h>

#include "app/single_instance.h"

class Core;

// The Core that OnInit created; null before OnInit and after OnExit.
extern Core* coreInstance;

class QuillonApp : public wxAppConsole {
public:
    QuillonApp() = default;
    ~QuillonApp() override = default;

    bool OnInit() override;
    int OnRun() override;
    int OnExit() override;
    void OnInitCmdLine(wxCmdLineParser& parser) override;
    bool OnCmdLineParsed(wxCmdLineParser& parser) override;

private:
    // Held for the process's life in the foreground; a daemon releases it
    // before forking and claims again in the child.
    SingleInstance instance;
    wxFileName exePath;
    // Run in the foreground instead of as a daemon.
    bool debug = false;

    wxDECLARE_DYNAMIC_CLASS(QuillonApp);
};
