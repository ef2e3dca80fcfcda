// qvapply's three global objects, built at program start in this order: the progress window, the
// cancel object and the application object.
#include "update_app.h"
#include "update_dlg.h"

CUpdateDlg dlgUpdate;
CUpdateAbort updateAbort;
CUpdateApp theApp;
