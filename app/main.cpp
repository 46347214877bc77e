// The process entry: the toolkit's console entry checks that the library was
// built with the options this program expects, creates QuillonApp and runs it.
// Its result is the exit status.

#include "app/quillon_app.h"

wxIMPLEMENT_APP_CONSOLE(QuillonApp);
