// The update run: everything happens in the start routine, inside one call of the patch library.
#include "update_app.h"

#include "command_line.h"
#include "patchw32.h"
#include "update_dlg.h"

std::FILE* fpLog = nullptr;
std::int32_t bAbort = 0;

BEGIN_MESSAGE_MAP(CUpdateApp, CWinApp)
ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

BOOL CUpdateApp::InitInstance()
{
    Enable3dControlsStatic();

    const char* commandLine = m_lpCmdLine != nullptr ? m_lpCmdLine : "";
    UpdateCommandLine split = SplitUpdateCommandLine(commandLine, AFX_PATH_SEPARATOR);
    if (!split.hasPatchPath) {
        // No patch named: nothing to apply, and the run counts as failed.
        bAbort = 1;
        return FALSE;
    }

    fpLog = AfxOpenLogFile(split.logPath.c_str());
    dlgUpdate.Create(CUpdateDlg::IDD, nullptr);
    dlgUpdate.SetDlgItemText(IDC_DIRECTORY, split.directory.c_str());

    if (PatchApply(commandLine, PatchCallback, 1) != 0)
        bAbort = 1;
    return FALSE;
}

int CUpdateApp::ExitInstance()
{
    if (fpLog != nullptr) {
        std::fflush(fpLog);
        std::fclose(fpLog);
    }
    fpLog = nullptr;
    dlgUpdate.DestroyWindow();
    return bAbort == 0 ? 1 : 0;
}
