// The port prompt of the Windows library: a small modal window of class "InputRequester" with
// a one-line message, a text field and an OK button. It runs its own message loop on the
// calling thread (the loader's, while the library loads) until the user answers.
#if !defined(_WIN32)
#error "prompt_win32.cpp is for Windows builds; POSIX builds take prompt_posix.cpp"
#endif

#include "library_state.h"
#include "library_win32.h"

#include <cstring>
#include <vector>

namespace {

constexpr int FIELD_ID = 10;
constexpr int OK_COMMAND = 1000; // the button's id; Enter gives it too
constexpr int CANCEL_COMMAND = 1001;
constexpr int WINDOW_WIDTH = 300;
constexpr int WINDOW_HEIGHT = 130;

struct DisabledWindow {
    DWORD thread;
    HWND window;
};

struct PromptState {
    HWND label = nullptr;
    HWND field = nullptr;
    HWND button = nullptr;
    HWND owner = nullptr;
    bool owner_disabled = false;
    bool done = true;
    HFONT font = nullptr;
    std::vector<DisabledWindow> disabled_windows; // newest first
};

PromptState prompt_state;

// The answer: storage from the library's heap, filled by the window procedure on OK.
using AnswerSlot = char*;

HANDLE answer_heap()
{
    return library_module.heap != nullptr ? library_module.heap : GetProcessHeap();
}

// Each thread enables again only the windows it disabled itself.
void restore_windows()
{
    if (prompt_state.owner_disabled) {
        EnableWindow(prompt_state.owner, TRUE);
        prompt_state.owner_disabled = false;
    }
    const DWORD thread = GetCurrentThreadId();
    auto& disabled = prompt_state.disabled_windows;
    for (auto entry = disabled.begin(); entry != disabled.end();) {
        if (entry->thread == thread) {
            EnableWindow(entry->window, TRUE);
            entry = disabled.erase(entry);
        } else {
            ++entry;
        }
    }
}

void close_prompt(HWND window)
{
    restore_windows();
    DestroyWindow(window);
}

void confirm(HWND window)
{
    const int length = GetWindowTextLengthA(prompt_state.field);
    auto* text = static_cast<char*>(
        HeapAlloc(answer_heap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(length) + 1));
    auto* slot = reinterpret_cast<AnswerSlot*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (text != nullptr && slot != nullptr) {
        GetWindowTextA(prompt_state.field, text, length + 1);
        *slot = text;
    } else if (text != nullptr) {
        HeapFree(answer_heap(), 0, text);
    }
    close_prompt(window);
}

LRESULT CALLBACK prompt_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wparam) == OK_COMMAND) {
            confirm(window);
        } else if (LOWORD(wparam) == CANCEL_COMMAND) {
            close_prompt(window);
        }
        return 0;
    case WM_CLOSE: close_prompt(window); return 0;
    case WM_DESTROY:
        UnregisterClassA(PROMPT_CLASS, library_module.instance);
        prompt_state.done = true;
        return 0;
    default: return DefWindowProcA(window, message, wparam, lparam);
    }
}

void register_prompt_class()
{
    WNDCLASSEXA window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = prompt_procedure;
    window_class.hInstance = library_module.instance;
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = PROMPT_CLASS;
    // A class still registered from an earlier prompt serves as well.
    RegisterClassExA(&window_class);
}

BOOL CALLBACK disable_thread_window(HWND window, LPARAM)
{
    DWORD process = 0;
    const DWORD thread = GetCurrentThreadId();
    if (GetWindowThreadProcessId(window, &process) == thread && IsWindowVisible(window) &&
        IsWindowEnabled(window) && window != GetForegroundWindow()) {
        EnableWindow(window, FALSE);
        prompt_state.disabled_windows.insert(prompt_state.disabled_windows.begin(),
                                             DisabledWindow{thread, window});
    }
    return TRUE;
}

// The foreground window, when it belongs to this process.
HWND foreground_of_this_process()
{
    HWND foreground = GetForegroundWindow();
    DWORD process = 0;
    GetWindowThreadProcessId(foreground, &process);
    return foreground != nullptr && process == GetCurrentProcessId() ? foreground : nullptr;
}

void disable_other_windows()
{
    EnumWindows(disable_thread_window, 0);
    prompt_state.owner = foreground_of_this_process();
    prompt_state.owner_disabled = false;
    if (prompt_state.owner != nullptr && IsWindowEnabled(prompt_state.owner)) {
        EnableWindow(prompt_state.owner, FALSE);
        prompt_state.owner_disabled = true;
    }
}

HWND create_control(HWND parent, const char* window_class, const char* text, DWORD style,
                    DWORD extended_style, RECT place, int id)
{
    HWND control = CreateWindowExA(extended_style, window_class, text, style, place.left, place.top,
                                   place.right, place.bottom, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   library_module.instance, nullptr);
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(prompt_state.font), TRUE);
    return control;
}

void create_controls(HWND window, const std::string& message, const char* default_text)
{
    // RECT here holds left, top, width, height.
    prompt_state.label = create_control(window, "STATIC", message.c_str(),
                                        WS_CHILD | WS_VISIBLE | SS_SIMPLE, 0, {10, 10, 280, 22}, 0);
    prompt_state.field =
        create_control(window, "EDIT", nullptr, WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
                       WS_EX_CLIENTEDGE, {10, 32, 275, 21}, FIELD_ID);
    SetFocus(prompt_state.field);
    if (default_text != nullptr) {
        SendMessageA(prompt_state.field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(default_text));
        // The caret after the last character, nothing selected: typing appends.
        const auto end = static_cast<WPARAM>(std::strlen(default_text));
        SendMessageA(prompt_state.field, EM_SETSEL, end, static_cast<LPARAM>(end));
    }
    prompt_state.button = create_control(window, "BUTTON", "OK",
                                         WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0,
                                         {110, 67, 80, 25}, OK_COMMAND);
}

HACCEL create_keys()
{
    ACCEL keys[] = {{FVIRTKEY, VK_RETURN, OK_COMMAND}, {FVIRTKEY, VK_ESCAPE, CANCEL_COMMAND}};
    return CreateAcceleratorTableA(keys, 2);
}

enum class WaitEnd { answered, quit, failed };

// How the wait ended; `quit_code` holds a quit message's code.
WaitEnd pump_messages(HWND window, HACCEL keys, WPARAM& quit_code)
{
    MSG message{};
    while (!prompt_state.done) {
        const BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0) {
            quit_code = message.wParam;
            return WaitEnd::quit;
        }
        if (got == -1) {
            return WaitEnd::failed;
        }
        if (!TranslateAcceleratorA(window, keys, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return WaitEnd::answered;
}

std::string take_answer(AnswerSlot& slot)
{
    if (slot == nullptr) {
        return std::string();
    }
    std::string answer = slot;
    HeapFree(answer_heap(), 0, slot);
    slot = nullptr;
    return answer;
}

} // namespace

std::string prompt_text(const std::string& title, const std::string& message,
                        const char* default_text)
{
    // Private copies: the caller's storage may change while the prompt runs.
    const std::string title_copy = title;     // NOLINT(performance-unnecessary-copy-initialization)
    const std::string message_copy = message; // NOLINT(performance-unnecessary-copy-initialization)
    const bool has_default = default_text != nullptr;
    const std::string default_copy = has_default ? default_text : "";

    if (prompt_state.font == nullptr) {
        prompt_state.font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    }
    register_prompt_class();
    prompt_state.done = false;
    disable_other_windows();

    HWND window = CreateWindowExA(0, PROMPT_CLASS, title_copy.c_str(), WS_VISIBLE | WS_CAPTION,
                                  GetSystemMetrics(SM_CXSCREEN) / 2 - WINDOW_WIDTH / 2,
                                  GetSystemMetrics(SM_CYSCREEN) / 2 - WINDOW_HEIGHT / 2,
                                  WINDOW_WIDTH, WINDOW_HEIGHT, foreground_of_this_process(),
                                  nullptr, library_module.instance, nullptr);
    if (window == nullptr) {
        restore_windows();
        prompt_state.done = true;
        return std::string();
    }
    AnswerSlot answer = nullptr;
    // A pointer does not fit the 32-bit user data of 64-bit Windows; the Ptr form fits both.
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&answer));
    create_controls(window, message_copy, has_default ? default_copy.c_str() : nullptr);
    HACCEL keys = create_keys();
    SetForegroundWindow(window);
    BringWindowToTop(window);

    WPARAM quit_code = 0;
    const WaitEnd end = pump_messages(window, keys, quit_code);
    if (end != WaitEnd::answered) {
        // The host's windows come back either way; only a real quit is the host's to see.
        close_prompt(window);
    }
    if (end == WaitEnd::quit) {
        PostQuitMessage(static_cast<int>(quit_code));
    }
    DestroyAcceleratorTable(keys);
    std::string result = take_answer(answer);
    return end == WaitEnd::answered ? result : std::string();
}
