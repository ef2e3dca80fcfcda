// winprobe: the test bench's window helper on the command line.
//   winprobe text CAPTION ID        prints the control's text
//   winprobe pos CAPTION ID         prints a progress bar's position
//   winprobe press CAPTION ID       presses a button
//   winprobe close CAPTION          asks the window to close, as its close box does
//   winprobe shot CAPTION FILE.bmp  saves a picture of the window
//   winprobe msgbox                 prints a message box's caption and text, then presses OK
// Waits up to 10 seconds for the window. Exit code 0 on success, 1 on failure, 2 on bad usage.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "winprobe.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: winprobe text|pos|press|close|shot|msgbox ...\n");
        return 2;
    }
    std::string verb = argv[1];
    const int kWaitMs = 10000;
    if (verb == "msgbox") {
        std::string caption, text;
        HWND box = winprobe::WaitForMessageBox(0, kWaitMs, &caption, &text);
        if (box == nullptr)
            return 1;
        std::printf("%s\n%s\n", caption.c_str(), text.c_str());
        return winprobe::PressButton(box, IDOK) || winprobe::PressButton(box, IDCANCEL) ? 0 : 1;
    }
    if (argc < 3)
        return 2;
    HWND window = winprobe::WaitForWindow(argv[2], 0, kWaitMs);
    if (window == nullptr) {
        std::fprintf(stderr, "winprobe: no window \"%s\"\n", argv[2]);
        return 1;
    }
    if (verb == "close")
        return winprobe::RequestClose(window) ? 0 : 1;
    if (argc < 4)
        return 2;
    if (verb == "shot")
        return winprobe::SaveScreenshot(window, argv[3]) ? 0 : 1;
    int id = std::atoi(argv[3]);
    if (verb == "text") {
        std::printf("%s\n", winprobe::ControlText(window, id).c_str());
        return 0;
    }
    if (verb == "pos") {
        int position = 0;
        if (!winprobe::ProgressPos(window, id, &position, kWaitMs))
            return 1;
        std::printf("%d\n", position);
        return 0;
    }
    if (verb == "press")
        return winprobe::PressButton(window, id) ? 0 : 1;
    return 2;
}
