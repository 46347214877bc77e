#include "app/executable_path.h"

#include <wx/stdpaths.h>
#include <wx/tokenzr.h>
#include <wx/utils.h>

namespace {

// Every normalisation but those that would change the name's meaning:
// environment variables stay as they are, and case is kept.
constexpr int kNormalisation = wxPATH_NORM_DOTS | wxPATH_NORM_ABSOLUTE | wxPATH_NORM_TILDE;

wxFileName normalised(const wxString& path) {
    wxFileName file(path, wxPATH_NATIVE);
    file.Normalize(kNormalisation, wxEmptyString, wxPATH_NATIVE);
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
