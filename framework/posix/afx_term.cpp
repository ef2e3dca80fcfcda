// The framework's window system on POSIX systems: dialogs built from the program's templates, a
// message queue per thread with the Win32 rules the program relies on (posted messages first, a
// paint message only when nothing else waits), the progress-bar control, and a rendering of each
// visible dialog on the terminal (stderr, only when it is a terminal).
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "afxwin.h"
#include "afx_term.h"

struct TermWindow {
    TermWindow* parent = nullptr;
    CDialog* dialog = nullptr;
    int id = 0;
    std::string className;
    std::string text;
    int x = 0, y = 0, cx = 0, cy = 0;
    std::vector<std::unique_ptr<TermWindow>> children;
    bool visible = false;
    bool needsPaint = false;
    HICON bigIcon = nullptr;
    HICON smallIcon = nullptr;
    // Progress-bar state, with the control's defaults.
    int lower = 0, upper = 100, pos = 0, step = 10;
};

struct TermPaint {
    HWND hwnd;
};

namespace {

std::vector<std::unique_ptr<TermWindow>> g_topLevel;
std::deque<MSG> g_queue;
std::atomic<int> g_closeRequests{0};
int g_linesDrawn = 0;
int g_outputFd = 2;

bool IsLive(HWND hwnd)
{
    if (hwnd == nullptr)
        return false;
    for (const auto& top : g_topLevel) {
        if (top.get() == hwnd)
            return true;
        for (const auto& child : top->children)
            if (child.get() == hwnd)
                return true;
    }
    return false;
}

TermWindow* TopLevelOf(HWND hwnd) { return hwnd->parent ? hwnd->parent : hwnd; }

void Invalidate(HWND hwnd) { TopLevelOf(hwnd)->needsPaint = true; }

bool IsProgressBar(const TermWindow* w) { return w->className == "msctls_progress32"; }

// Dialog units to terminal columns: a dialog unit is a quarter of the font's average character
// width.
int Columns(int dialogUnits) { return dialogUnits / 4; }

std::string RenderControl(const TermWindow& c)
{
    if (IsProgressBar(&c)) {
        int inner = std::max(10, Columns(c.cx) - 7);
        int span = c.upper - c.lower;
        long long done = span > 0 ? static_cast<long long>(c.pos - c.lower) * 100 / span : 0;
        int filled = static_cast<int>(done * inner / 100);
        filled = std::clamp(filled, 0, inner);
        char percent[16];
        std::snprintf(percent, sizeof percent, "%4lld%%", done);
        return "[" + std::string(filled, '#') + std::string(inner - filled, '-') + "]" + percent;
    }
    if (c.className == "button")
        return "[ " + c.text + " ]";
    return c.text;
}

int TerminalWidth()
{
    winsize ws{};
    if (ioctl(g_outputFd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

}  // namespace

std::vector<std::string> AfxTermFrame(HWND dialog)
{
    std::vector<std::string> lines;
    std::string title = "-- " + dialog->text + " ";
    int width = std::max<int>(Columns(dialog->cx), static_cast<int>(title.size()));
    title.append(width - title.size(), '-');
    lines.push_back(title);

    // Controls on one line of the template share a terminal line, left to right.
    std::map<int, std::vector<const TermWindow*>> rows;
    for (const auto& c : dialog->children)
        rows[c->y].push_back(c.get());
    for (auto& [y, row] : rows) {
        std::sort(row.begin(), row.end(), [](const TermWindow* a, const TermWindow* b) { return a->x < b->x; });
        std::string line;
        for (const TermWindow* c : row) {
            size_t column = static_cast<size_t>(Columns(c->x));
            // Neighbours that touch in character cells keep one blank between them.
            if (!line.empty() && line.back() != ' ' && column <= line.size())
                column = line.size() + 1;
            if (line.size() < column)
                line.append(column - line.size(), ' ');
            line += RenderControl(*c);
        }
        lines.push_back(line);
    }
    return lines;
}

void AfxTermSetOutput(int fd)
{
    g_outputFd = fd;
    g_linesDrawn = 0;
}

namespace {

void Render(HWND dialog)
{
    if (!isatty(g_outputFd))
        return;
    int width = TerminalWidth();
    std::string out;
    if (g_linesDrawn > 0)
        out += "\x1b[" + std::to_string(g_linesDrawn) + "F";
    std::vector<std::string> lines = AfxTermFrame(dialog);
    for (std::string& line : lines) {
        if (static_cast<int>(line.size()) >= width)
            line.resize(std::max(0, width - 1));
        out += "\x1b[2K" + line + "\n";
    }
    g_linesDrawn = static_cast<int>(lines.size());
    const char* p = out.data();
    size_t left = out.size();
    while (left > 0) {
        ssize_t n = write(g_outputFd, p, left);
        if (n <= 0)
            break;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

LRESULT ProgressProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam)
{
    int old = w->pos;
    switch (message) {
    case PBM_SETRANGE: {
        LRESULT previous = MAKELONG(w->lower, w->upper);
        w->lower = static_cast<short>(LOWORD(lParam));
        w->upper = static_cast<short>(HIWORD(lParam));
        w->pos = std::clamp(w->pos, std::min(w->lower, w->upper), std::max(w->lower, w->upper));
        Invalidate(w);
        return previous;
    }
    case PBM_SETPOS:
        w->pos = std::clamp(static_cast<int>(wParam), std::min(w->lower, w->upper), std::max(w->lower, w->upper));
        Invalidate(w);
        return old;
    case PBM_DELTAPOS:
        w->pos =
            std::clamp(w->pos + static_cast<int>(wParam), std::min(w->lower, w->upper), std::max(w->lower, w->upper));
        Invalidate(w);
        return old;
    case PBM_SETSTEP: {
        int previous = w->step;
        w->step = static_cast<int>(wParam);
        return previous;
    }
    case PBM_STEPIT: {
        // Stepped past either end, the bar starts over from the other end.
        int span = w->upper - w->lower;
        w->pos += w->step;
        if (span > 0 && w->pos > w->upper)
            w->pos = (w->pos - w->lower) % span + w->lower;
        if (span > 0 && w->pos < w->lower)
            w->pos = (w->pos - w->lower) % span + w->upper;
        Invalidate(w);
        return old;
    }
    case PBM_GETPOS: return w->pos;
    default: return 0;
    }
}

LRESULT DefaultProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SETTEXT:
        w->text = lParam ? reinterpret_cast<const char*>(lParam) : "";
        Invalidate(w);
        return TRUE;
    case WM_GETTEXT: {
        if (wParam == 0)
            return 0;
        size_t n = std::min(w->text.size(), static_cast<size_t>(wParam) - 1);
        std::memcpy(reinterpret_cast<char*>(lParam), w->text.data(), n);
        reinterpret_cast<char*>(lParam)[n] = '\0';
        return static_cast<LRESULT>(n);
    }
    case WM_SETICON: {
        HICON& slot = wParam == ICON_BIG ? w->bigIcon : w->smallIcon;
        HICON previous = slot;
        slot = reinterpret_cast<HICON>(lParam);
        return reinterpret_cast<LRESULT>(previous);
    }
    case WM_PAINT:
        if (w->dialog != nullptr && w->visible)
            Render(w);
        w->needsPaint = false;
        return 0;
    case WM_CLOSE:
        // A dialog turns a close request into its Cancel command.
        if (w->dialog != nullptr)
            PostMessage(w, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                        reinterpret_cast<LPARAM>(GetDlgItem(w, IDCANCEL)));
        return 0;
    default:
        if (IsProgressBar(w))
            return ProgressProc(w, message, wParam, lParam);
        return 0;
    }
}

void QueueCloseRequests()
{
    int pending = g_closeRequests.exchange(0);
    for (; pending > 0; --pending) {
        for (const auto& top : g_topLevel) {
            if (top->dialog != nullptr) {
                g_queue.push_back(MSG{top.get(),
                                      WM_COMMAND,
                                      MAKEWPARAM(IDCANCEL, BN_CLICKED),
                                      reinterpret_cast<LPARAM>(GetDlgItem(top.get(), IDCANCEL)),
                                      0,
                                      {0, 0}});
                break;
            }
        }
    }
}

}  // namespace

void AfxTermRequestClose() { g_closeRequests.fetch_add(1, std::memory_order_relaxed); }

BOOL PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg)
{
    QueueCloseRequests();
    auto matches = [&](const MSG& m) {
        if (hwnd != nullptr && m.hwnd != hwnd)
            return false;
        if (filterMin == 0 && filterMax == 0)
            return true;
        return m.message >= filterMin && m.message <= filterMax;
    };
    for (auto it = g_queue.begin(); it != g_queue.end(); ++it) {
        if (!matches(*it))
            continue;
        *msg = *it;
        if (removeMsg & PM_REMOVE)
            g_queue.erase(it);
        return TRUE;
    }
    // A paint message is made only when nothing else waits, and stays until the window is painted.
    for (const auto& top : g_topLevel) {
        MSG paint{top.get(), WM_PAINT, 0, 0, 0, {0, 0}};
        if (top->visible && top->needsPaint && matches(paint)) {
            *msg = paint;
            return TRUE;
        }
    }
    return FALSE;
}

BOOL TranslateMessage(const MSG*)
{
    // The terminal delivers no key messages, so there is nothing to translate.
    return FALSE;
}

LRESULT SendMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!IsLive(hwnd))
        return 0;
    if (hwnd->dialog != nullptr) {
        LRESULT result = 0;
        if (hwnd->dialog->HandleDialogMessage(message, wParam, lParam, &result))
            return result;
    }
    return DefaultProc(hwnd, message, wParam, lParam);
}

LRESULT DispatchMessage(const MSG* msg) { return SendMessage(msg->hwnd, msg->message, msg->wParam, msg->lParam); }

BOOL PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!IsLive(hwnd))
        return FALSE;
    g_queue.push_back(MSG{hwnd, message, wParam, lParam, 0, {0, 0}});
    return TRUE;
}

HWND GetDlgItem(HWND dialog, int id)
{
    if (!IsLive(dialog))
        return nullptr;
    for (const auto& child : dialog->children)
        if (child->id == id)
            return child.get();
    return nullptr;
}

BOOL SetDlgItemText(HWND dialog, int id, LPCSTR text)
{
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr)
        return FALSE;
    SendMessage(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    return TRUE;
}

BOOL IsIconic(HWND) { return FALSE; }

BOOL GetClientRect(HWND hwnd, RECT* rect)
{
    if (!IsLive(hwnd))
        return FALSE;
    // Dialog units of an 8-point font: 6 by 13 pixels per character cell.
    *rect = RECT{0, 0, hwnd->cx * 6 / 4, hwnd->cy * 13 / 8};
    return TRUE;
}

int GetSystemMetrics(int index) { return index == SM_CXICON || index == SM_CYICON ? 32 : 0; }

BOOL DestroyWindow(HWND hwnd)
{
    if (!IsLive(hwnd) || hwnd->parent != nullptr)
        return FALSE;
    g_queue.erase(
        std::remove_if(g_queue.begin(), g_queue.end(), [&](const MSG& m) { return TopLevelOf(m.hwnd) == hwnd; }),
        g_queue.end());
    if (hwnd->dialog != nullptr && hwnd->dialog->m_hWnd == hwnd)
        hwnd->dialog->m_hWnd = nullptr;
    g_topLevel.erase(std::remove_if(g_topLevel.begin(), g_topLevel.end(),
                                    [&](const std::unique_ptr<TermWindow>& w) { return w.get() == hwnd; }),
                     g_topLevel.end());
    g_linesDrawn = 0;
    return TRUE;
}

HDC BeginPaint(HWND hwnd, PAINTSTRUCT* paint)
{
    static TermPaint device;
    device.hwnd = hwnd;
    if (IsLive(hwnd))
        TopLevelOf(hwnd)->needsPaint = false;
    *paint = PAINTSTRUCT{&device, FALSE, RECT{0, 0, 0, 0}};
    return &device;
}

BOOL EndPaint(HWND, const PAINTSTRUCT*) { return TRUE; }

// A minimised window has no picture on the terminal.
BOOL DrawIcon(HDC, int, int, HICON icon) { return icon != nullptr; }

BOOL CDialog::Create(UINT templateId, CWnd* parent)
{
    m_nIDTemplate = templateId;
    m_pParentWnd = parent;
    const AfxDialogTemplate* t = AfxFindDialogTemplate(templateId);
    if (t == nullptr)
        return FALSE;
    auto window = std::make_unique<TermWindow>();
    window->dialog = this;
    window->text = t->caption;
    window->cx = t->cx;
    window->cy = t->cy;
    for (int i = 0; i < t->itemCount; ++i) {
        const AfxDialogItem& item = t->items[i];
        auto control = std::make_unique<TermWindow>();
        control->parent = window.get();
        control->id = item.id;
        control->className = item.className;
        control->text = item.text;
        control->x = item.x;
        control->y = item.y;
        control->cx = item.cx;
        control->cy = item.cy;
        window->children.push_back(std::move(control));
    }
    HWND hwnd = window.get();
    g_topLevel.push_back(std::move(window));
    m_hWnd = hwnd;
    OnInitDialog();
    // The template makes the dialog visible once it has been initialised.
    if (IsLive(hwnd)) {
        hwnd->visible = true;
        hwnd->needsPaint = true;
    }
    return TRUE;
}

HICON CWinApp::LoadIcon(UINT resourceId) const
{
    return reinterpret_cast<HICON>(const_cast<AfxIconResource*>(AfxFindIconResource(resourceId)));
}

std::FILE* AfxOpenLogFile(const char* path)
{
    // Anything but a plain file at the path is not even opened (a pipe's reader would notice);
    // O_NOFOLLOW: a link put there since is not followed; O_NONBLOCK: nor does a pipe put there
    // since make the open wait, and what was opened is looked at again.
    struct stat st;
    if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode))
        return nullptr;
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        ftruncate(fd, 0) != 0) {
        (void)close(fd);  // nothing was written
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "w+");
    if (file == nullptr)
        (void)close(fd);
    return file;
}
