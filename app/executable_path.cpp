#include "app/executable_path.h"

#include <wx/stdpaths.h>
#include <wx/tokenzr.h>
#include <wx/utils.h>

#include <cstdlib>
#include <memory>

namespace {

// Every normalisation but those that would change the name's meaning:
// environment variables stay as they are, and case is kept.
constexpr int kNormalisation = wxPATH_NORM_DOTS | wxPATH_NORM_ABSOLUTE | wxPATH_NORM_TILDE;

// The name made absolute and normalised, then followed through every
// symbolic link to the file itself: a server started as /usr/sbin/tessard,
// a link into /opt/tessard, finds its plugins in /opt/tessard.
wxFileName normalised(const wxString& path) {
    wxFileName file(path, wxPATH_NATIVE);
    file.Normalize(kNormalisation, wxEmptyString, wxPATH_NATIVE);
    std::unique_ptr<char, decltype(&std::free)> real(realpath(file.GetFullPath().fn_str(), nullptr),
                                                     &std::free);
    if (real) file.Assign(wxString::FromUTF8(real.get()), wxPATH_NATIVE);
    return file;
}

}  // namespace

wxString searchPath(const wxString& name, const wxString& path) {
    wxStringTokenizer directories(path, ":", wxTOKEN_RET_EMPTY_ALL);
    while (directories.HasMoreTokens()) {
        wxString directory = directories.GetNextToken();
        if (directory.empty()) directory = ".";
        const wxString candidate = directory + "/" + name;
        if (wxFileName::IsFileExecutable(candidate) && !wxFileName::DirExists(candidate)) {
            return candidate;
        }
    }
    return wxEmptyString;
}

wxFileName resolveExecutablePath(const wxString& argv0) {
    if (argv0.Contains("/")) return normalised(argv0);
    wxString pathValue;
    if (!argv0.empty() && wxGetEnv("PATH", &pathValue)) {
        const wxString found = searchPath(argv0, pathValue);
        if (!found.empty()) return normalised(found);
    }
    return normalised(wxStandardPaths::Get().GetExecutablePath());
}
