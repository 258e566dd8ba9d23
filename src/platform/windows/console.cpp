// The operator window on Windows: a real window with the caption, the File
// menu and a list box filling the client area. It runs its message loop on a
// thread of its own, since the event thread waits on Asio's completion port
// and cannot also wait for window messages; the two threads exchange only
// list changes (window thread reads) and commands (posted to the event loop).
#include "platform/console.h"

#include <windows.h>

#include <asio/post.hpp>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "platform/stop_requests.h"

namespace kelvarix {
namespace {

constexpr UINT kListChanged = WM_APP + 1;
constexpr UINT kExitCaptionChanged = WM_APP + 2;
constexpr UINT kCloseWindow = WM_APP + 3;
constexpr UINT kClearCommand = 1001;
constexpr UINT kExitCommand = 1002;
constexpr char kClassName[] = "Kelvarix_Main";

// The client area as designed, in twips (1/1440 inch).
constexpr int kClientWidthTwips = 8550;
constexpr int kClientHeightTwips = 2985;
// "Courier New" 8.25 points, in hundredths of a point.
constexpr int kFontCentipoints = 825;

// How long the end of a session waits for the stop line to be written.
constexpr auto kSessionEndWait = std::chrono::seconds(10);

}  // namespace

struct Console::Screen {
    Screen(asio::io_context& io, WindowList& list, ConsoleCaptions captions)
        : io(io), list(list), captions(std::move(captions)) {}

    // Event thread.
    void OnListChanged();

    // Window thread.
    void Run(std::promise<bool>& created);
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    LRESULT Handle(HWND window, UINT message, WPARAM w, LPARAM l);
    bool Create();
    void ApplyChanges();
    void UserClosed();

    asio::io_context& io;
    WindowList& list;
    std::function<void()> on_close;

    std::mutex mutex;  // guards the members down to `ended`
    ConsoleCaptions captions;
    struct Change {
        bool clear = false;
        std::string line;
    };
    std::deque<Change> changes;
    bool change_posted = false;
    HWND window = nullptr;
    bool ended = false;  // the event loop is done; the process ends
    std::condition_variable ended_changed;

    // Window thread only.
    HWND list_box = nullptr;
    HMENU file_menu = nullptr;
    HFONT font = nullptr;
    bool close_from_menu = false;  // the close box, system menu or Alt+F4
    std::thread thread;
};

void Console::Screen::OnListChanged() {
    std::lock_guard lock(mutex);
    if (list.Lines().empty()) {
        changes.clear();
        changes.push_back({true, {}});
    } else {
        changes.push_back({false, list.Lines().back()});
        // A window that falls behind gets the list's newest lines afresh.
        if (changes.size() > 2 * WindowList::kMaxLines) {
            changes.clear();
            changes.push_back({true, {}});
            for (const std::string& line : list.Lines()) changes.push_back({false, line});
        }
    }
    if (window != nullptr && !change_posted) {
        change_posted = ::PostMessageA(window, kListChanged, 0, 0) != 0;
    }
}

bool Console::Screen::Create() {
    const HINSTANCE instance = ::GetModuleHandleA(nullptr);
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = &Screen::Procedure;
    window_class.hInstance = instance;
    window_class.hIcon = ::LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    window_class.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = kClassName;
    if (::RegisterClassA(&window_class) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return false;
    }

    std::string caption;
    std::string exit_item;
    {
        std::lock_guard lock(mutex);
        caption = captions.window;
        exit_item = captions.exit_item;
    }
    const HMENU bar = ::CreateMenu();
    file_menu = ::CreatePopupMenu();
    ::AppendMenuA(file_menu, MF_STRING, kClearCommand, captions.clear_item.c_str());
    ::AppendMenuA(file_menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuA(file_menu, MF_STRING, kExitCommand, exit_item.c_str());
    ::AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file_menu), captions.menu.c_str());

    const HDC screen = ::GetDC(nullptr);
    const int dpi_x = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSX) : 96;
    const int dpi_y = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen != nullptr) ::ReleaseDC(nullptr, screen);
    RECT frame{0, 0, ::MulDiv(kClientWidthTwips, dpi_x, 1440),
               ::MulDiv(kClientHeightTwips, dpi_y, 1440)};
    constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;
    ::AdjustWindowRect(&frame, kStyle, TRUE);

    font = ::CreateFontA(-::MulDiv(kFontCentipoints, dpi_y, 7200), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                         FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                         DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, "Courier New");

    const HWND created = ::CreateWindowExA(0, kClassName, caption.c_str(), kStyle, CW_USEDEFAULT,
                                           CW_USEDEFAULT, frame.right - frame.left,
                                           frame.bottom - frame.top, nullptr, bar, instance, this);
    if (created == nullptr) {
        ::DestroyMenu(bar);
        if (font != nullptr) ::DeleteObject(font);
        font = nullptr;
        return false;
    }
    {
        std::lock_guard lock(mutex);
        window = created;
    }
    ::ShowWindow(created, SW_SHOWNORMAL);
    ::UpdateWindow(created);
    ApplyChanges();
    return true;
}

void Console::Screen::Run(std::promise<bool>& created) {
    const bool ok = Create();
    created.set_value(ok);
    if (!ok) return;
    MSG message;
    while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
    if (font != nullptr) ::DeleteObject(font);
}

LRESULT CALLBACK Console::Screen::Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(l);
        ::SetWindowLongPtrA(window, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<Screen*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self == nullptr) return ::DefWindowProcA(window, message, w, l);
    return self->Handle(window, message, w, l);
}

void Console::Screen::UserClosed() {
    asio::post(io, [this] {
        if (on_close) on_close();
    });
}

LRESULT Console::Screen::Handle(HWND window, UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_CREATE:
            list_box = ::CreateWindowExA(
                WS_EX_CLIENTEDGE, "LISTBOX", "",
                WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY, 0, 0, 0, 0,
                window, nullptr, ::GetModuleHandleA(nullptr), nullptr);
            if (list_box == nullptr) return -1;
            if (font != nullptr)
                ::SendMessageA(list_box, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
            return 0;
        case WM_SIZE:
            // The list fills the client area, whatever its size.
            ::MoveWindow(list_box, 0, 0, LOWORD(l), HIWORD(l), TRUE);
            return 0;
        case WM_SETFOCUS:
            ::SetFocus(list_box);
            return 0;
        case WM_COMMAND:
            if (LOWORD(w) == kClearCommand) {
                asio::post(io, [this] { list.Clear(); });
            } else if (LOWORD(w) == kExitCommand) {
                UserClosed();
            }
            return 0;
        case WM_SYSCOMMAND:
            // Alt+F4, the close box and the system menu all come this way.
            if ((w & 0xFFF0) == SC_CLOSE) close_from_menu = true;
            break;
        case WM_CLOSE:
            // A WM_CLOSE of its own is another program's request (Task
            // Manager, taskkill). Either way the window stays until the
            // gateway has written its stop line and ends the process.
            if (close_from_menu) {
                close_from_menu = false;
                UserClosed();
            } else {
                RaiseStopRequest(StopRequest::OtherProgram);
            }
            return 0;
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            if (w != FALSE) {
                // Once this returns the process may end at any moment: wait
                // until the gateway has stopped.
                RaiseStopRequest(StopRequest::SessionEnd);
                std::unique_lock lock(mutex);
                ended_changed.wait_for(lock, kSessionEndWait, [this] { return ended; });
            }
            return 0;
        case kListChanged:
            ApplyChanges();
            return 0;
        case kExitCaptionChanged: {
            std::string caption;
            {
                std::lock_guard lock(mutex);
                caption = captions.exit_item;
            }
            ::ModifyMenuA(file_menu, kExitCommand, MF_BYCOMMAND | MF_STRING, kExitCommand,
                          caption.c_str());
            ::DrawMenuBar(window);
            return 0;
        }
        case kCloseWindow:
            ::DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return ::DefWindowProcA(window, message, w, l);
}

void Console::Screen::ApplyChanges() {
    std::deque<Change> batch;
    {
        std::lock_guard lock(mutex);
        batch.swap(changes);
        change_posted = false;
    }
    if (batch.empty() || list_box == nullptr) return;
    ::SendMessageA(list_box, WM_SETREDRAW, FALSE, 0);
    for (const Change& change : batch) {
        if (change.clear) {
            ::SendMessageA(list_box, LB_RESETCONTENT, 0, 0);
        } else {
            ::SendMessageA(list_box, LB_ADDSTRING, 0,
                           reinterpret_cast<LPARAM>(change.line.c_str()));
        }
    }
    LRESULT count = ::SendMessageA(list_box, LB_GETCOUNT, 0, 0);
    while (count > static_cast<LRESULT>(WindowList::kMaxLines)) {
        ::SendMessageA(list_box, LB_DELETESTRING, 0, 0);
        --count;
    }
    // The newest line is selected, which also scrolls it into view.
    ::SendMessageA(list_box, LB_SETCURSEL, count > 0 ? static_cast<WPARAM>(count - 1) : WPARAM(-1),
                   0);
    ::SendMessageA(list_box, WM_SETREDRAW, TRUE, 0);
    ::InvalidateRect(list_box, nullptr, TRUE);
}

bool Console::Available() {
    // A program of the Windows subsystem can always try; Show() says whether
    // a window could be made (it cannot on a desktop-less station).
    return true;
}

Console::Console(asio::io_context& io, WindowList& list, ConsoleCaptions captions)
    : screen_(std::make_shared<Screen>(io, list, std::move(captions))) {}

Console::~Console() {
    Screen& s = *screen_;
    s.list.SetObserver(nullptr);
    HWND window = nullptr;
    {
        std::lock_guard lock(s.mutex);
        s.ended = true;
        window = s.window;
    }
    s.ended_changed.notify_all();
    if (window != nullptr) ::PostMessageA(window, kCloseWindow, 0, 0);
    if (s.thread.joinable()) s.thread.join();
}

void Console::SetExitCaption(std::string caption) {
    HWND window = nullptr;
    {
        std::lock_guard lock(screen_->mutex);
        screen_->captions.exit_item = std::move(caption);
        window = screen_->window;
    }
    if (window != nullptr) ::PostMessageA(window, kExitCaptionChanged, 0, 0);
}

bool Console::Show(std::function<void()> on_close) {
    Screen& s = *screen_;
    if (s.thread.joinable()) return true;
    s.on_close = std::move(on_close);
    {
        std::lock_guard lock(s.mutex);
        s.changes.clear();
        s.changes.push_back({true, {}});
        for (const std::string& line : s.list.Lines()) s.changes.push_back({false, line});
    }
    std::promise<bool> created;
    std::future<bool> outcome = created.get_future();
    s.thread = std::thread([&s, &created] { s.Run(created); });
    if (!outcome.get()) {
        s.thread.join();
        return false;
    }
    s.list.SetObserver([&s] { s.OnListChanged(); });
    return true;
}

void Console::ShowDialog(const std::string& text, const std::string& title) {
    HWND owner = nullptr;
    {
        std::lock_guard lock(screen_->mutex);
        owner = screen_->window;
    }
    ::MessageBoxA(owner, text.c_str(), title.c_str(), MB_OK | MB_SETFOREGROUND);
}

}  // namespace kelvarix
