// A host program for ohmbridge.dll under Wine: it loads the library as a data-acquisition
// program would, watches the port prompt from a second thread while the loader shows it,
// calls exports, unloads, and prints what it saw as KEY=VALUE lines for the test driver.
//
//   bridge_host.exe [--host-windows] [--post-quit] [--fail-message-loop] [--check-stack]
//                   [--linger MS] [--reopen COMn] DLL [CALL...]
//
// A CALL is an export's name with its arguments after colons: "ead:0", "sa:0:300",
// "eadouble:0.4", "titre". "keep-text" checks that a returned text stays as it was;
// "sleep:MS" pauses (after printing its line) so that the driver can look at open devices.
// --host-windows: before loading, three windows of the host: "Host window" (the foreground),
// "Host second window" (enabled) and "Host disabled window".
// --fail-message-loop: once the prompt shows, the library's GetMessageA starts failing (-1).
// --check-stack: after the calls, every export once more through stack_check.h.
// --linger MS: after unloading, prints "unloaded=1" and pauses.
#include "ohmbridge.h"
#include "stack_check.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

namespace {

struct HostOptions {
    bool host_windows = false;
    bool post_quit = false;
    bool fail_message_loop = false;
    bool check_stack = false;
    int linger_ms = 0;
    std::string reopen;
    std::string dll;
    std::vector<std::string> calls;
};

struct Watch {
    DWORD main_thread = 0;
    HWND host_window = nullptr;
    HWND host_second_window = nullptr;
    HWND host_disabled_window = nullptr;
    bool post_quit = false;
    bool fail_message_loop = false;
    FARPROC get_message = nullptr;
    HANDLE ready = nullptr;
    std::atomic<bool> stop{false};
    std::vector<std::string> report;
    bool prompt_seen = false;
    bool host_disabled_while_prompting = false;
    bool second_disabled_while_prompting = false;
    bool disabled_window_enabled_while_prompting = false;
};

std::string visible(const std::string& bytes)
{
    std::string shown;
    char code[8];
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            std::snprintf(code, sizeof code, "\\x%02X", c);
            shown += code;
        }
    }
    return shown;
}

std::string window_text(HWND window)
{
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string class_of(HWND window)
{
    char name[128] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string number(long long value)
{
    return std::to_string(value);
}

std::string hex(unsigned long value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%08lX", value);
    return text;
}

void describe_control(Watch& watch, HWND prompt, HWND control)
{
    RECT place{};
    GetWindowRect(control, &place);
    MapWindowPoints(nullptr, prompt, reinterpret_cast<POINT*>(&place), 2);
    const std::string key = "control." + number(GetDlgCtrlID(control)) + ".";
    const bool stock_font = reinterpret_cast<HGDIOBJ>(SendMessageA(control, WM_GETFONT, 0, 0)) ==
                            GetStockObject(DEFAULT_GUI_FONT);
    watch.report.push_back(key + "class=" + class_of(control));
    watch.report.push_back(key + "text=" + visible(window_text(control)));
    watch.report.push_back(
        key + "style=" + hex(static_cast<unsigned long>(GetWindowLongA(control, GWL_STYLE))));
    watch.report.push_back(
        key + "exstyle=" + hex(static_cast<unsigned long>(GetWindowLongA(control, GWL_EXSTYLE))));
    watch.report.push_back(key + "place=" + number(place.left) + "," + number(place.top) + "," +
                           number(place.right - place.left) + "," +
                           number(place.bottom - place.top));
    watch.report.push_back(key + "stock_font=" + number(stock_font));
}

BOOL CALLBACK describe_child(HWND control, LPARAM context)
{
    auto* watch = reinterpret_cast<Watch*>(context);
    describe_control(*watch, GetParent(control), control);
    return TRUE;
}

void describe_prompt(Watch& watch, HWND prompt)
{
    RECT place{};
    GetWindowRect(prompt, &place);
    watch.report.push_back("prompt.title=" + visible(window_text(prompt)));
    watch.report.push_back("prompt.style=" +
                           hex(static_cast<unsigned long>(GetWindowLongA(prompt, GWL_STYLE))));
    watch.report.push_back("prompt.place=" + number(place.left) + "," + number(place.top) + "," +
                           number(place.right - place.left) + "," +
                           number(place.bottom - place.top));
    watch.report.push_back("screen=" + number(GetSystemMetrics(SM_CXSCREEN)) + "," +
                           number(GetSystemMetrics(SM_CYSCREEN)));
    HWND owner = GetWindow(prompt, GW_OWNER);
    std::string owner_name = "other";
    if (owner == nullptr) {
        owner_name = "none";
    } else if (owner == watch.host_window) {
        owner_name = "host";
    }
    watch.report.push_back("prompt.owner=" + owner_name);
    EnumChildWindows(prompt, describe_child, reinterpret_cast<LPARAM>(&watch));
    HWND field = GetDlgItem(prompt, 10);
    DWORD start = 0;
    DWORD end = 0;
    SendMessageA(field, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    watch.report.push_back("field.selection=" + number(start) + "," + number(end));
    GUITHREADINFO focus{};
    focus.cbSize = sizeof focus;
    GetGUIThreadInfo(watch.main_thread, &focus);
    watch.report.push_back("field.focused=" + number(focus.hwndFocus == field));
}

std::atomic<int> failed_message_calls{0};

BOOL WINAPI failing_get_message(LPMSG, HWND, UINT, UINT)
{
    ++failed_message_calls;
    return -1;
}

// From now on USER32's GetMessageA jumps to failing_get_message: its first bytes become
// "mov (r)ax, address; jmp (r)ax". The library's loop is the only caller left in this process;
// its thread sits deeper inside the function and returns past the bytes changed.
// `entry` is looked up before the library loads: the loader's lock is held meanwhile.
bool make_message_loop_fail(FARPROC get_message)
{
    auto* entry = reinterpret_cast<unsigned char*>(get_message);
    if (entry == nullptr) {
        return false;
    }
    std::vector<unsigned char> jump;
    if (sizeof(void*) == 8) {
        jump.push_back(0x48); // REX.W: the 64-bit form of the same two instructions
    }
    jump.push_back(0xB8);
    const auto target = reinterpret_cast<std::uintptr_t>(&failing_get_message);
    for (std::size_t i = 0; i < sizeof target; ++i) {
        jump.push_back(static_cast<unsigned char>(target >> (8 * i)));
    }
    jump.insert(jump.end(), {0xFF, 0xE0});
    DWORD protection = 0;
    if (!VirtualProtect(entry, jump.size(), PAGE_EXECUTE_READWRITE, &protection)) {
        return false;
    }
    std::memcpy(entry, jump.data(), jump.size());
    VirtualProtect(entry, jump.size(), protection, &protection);
    FlushInstructionCache(GetCurrentProcess(), entry, jump.size());
    return true;
}

// The loader lock is held while the library shows its prompt. Whatever this thread's first
// window calls set up inside Wine (its message queue, input context) is set up before that.
void warm_up(Watch& watch)
{
    MSG message{};
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
    HWND probe = CreateWindowExA(0, "EDIT", "warm", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    describe_control(watch, GetDesktopWindow(), probe);
    DWORD start = 0;
    SendMessageA(probe, EM_GETSEL, reinterpret_cast<WPARAM>(&start), 0);
    GUITHREADINFO focus{};
    focus.cbSize = sizeof focus;
    GetGUIThreadInfo(watch.main_thread, &focus);
    FindWindowA("InputRequester", nullptr);
    DestroyWindow(probe);
    watch.report.clear();
    SetEvent(watch.ready);
}

void watch_prompt(Watch& watch)
{
    warm_up(watch);
    HWND prompt = nullptr;
    while (!watch.stop && prompt == nullptr) {
        prompt = FindWindowA("InputRequester", nullptr);
        if (prompt == nullptr || GetDlgItem(prompt, 1000) == nullptr) {
            prompt = nullptr;
            Sleep(10);
        }
    }
    if (prompt == nullptr) {
        return;
    }
    watch.prompt_seen = true;
    Sleep(100);
    describe_prompt(watch, prompt);
    watch.host_disabled_while_prompting =
        watch.host_window != nullptr && !IsWindowEnabled(watch.host_window);
    watch.second_disabled_while_prompting =
        watch.host_second_window != nullptr && !IsWindowEnabled(watch.host_second_window);
    if (watch.post_quit) {
        PostThreadMessageA(watch.main_thread, WM_QUIT, 77, 0);
    }
    if (watch.fail_message_loop) {
        watch.report.push_back("message_loop.patched=" +
                               number(make_message_loop_fail(watch.get_message)));
        // Wakes the loop, which then asks the patched import for its next message.
        PostThreadMessageA(watch.main_thread, WM_NULL, 0, 0);
    }
    while (!watch.stop && IsWindow(prompt)) {
        if (watch.host_disabled_window != nullptr && IsWindowEnabled(watch.host_disabled_window)) {
            watch.disabled_window_enabled_while_prompting = true;
        }
        Sleep(10);
    }
}

HWND make_host_window(const char* title, int left, bool enabled)
{
    HWND window = CreateWindowExA(0, "STATIC", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, left, 20,
                                  200, 100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    EnableWindow(window, enabled ? TRUE : FALSE);
    return window;
}

std::vector<std::string> split(const std::string& call)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = call.find(':', start);
        parts.push_back(call.substr(start, colon - start));
        if (colon == std::string::npos) {
            return parts;
        }
        start = colon + 1;
    }
}

std::string real(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// Calls one export through GetProcAddress, with the signature its name implies.
std::string call_export(HMODULE library, const std::vector<std::string>& call)
{
    const std::string& name = call[0];
    FARPROC function = GetProcAddress(library, name.c_str());
    if (function == nullptr) {
        return "missing";
    }
    const auto integer = [&](std::size_t i) {
        return static_cast<std::int32_t>(std::strtol(call.at(i).c_str(), nullptr, 10));
    };
    const auto floating = [&](std::size_t i) { return std::strtod(call.at(i).c_str(), nullptr); };
    const std::string base = name.rfind("std", 0) == 0 && name != "stdtitre" && name != "stddetail"
                                 ? name.substr(3)
                                 : name;
    using IntOfInt = decltype(&::ea);
    using RealOfInt = decltype(&::ead);
    using TextOfInt = decltype(&::nea);
    using IntOfTwo = decltype(&::sa);
    using RealOfIntReal = decltype(&::sad);
    using TextOfNone = decltype(&::titre);
    using RealOfReal = decltype(&::eadouble);
    using TextOfReal = decltype(&::neadouble);
    using RealOfTwoReals = decltype(&::sadouble);
    // GetProcAddress gives a generic function pointer; its real type comes from the name.
    auto pointer = [&](auto type) {
        return reinterpret_cast<decltype(type)>(reinterpret_cast<void*>(function));
    };
    if (base == "ea" || base == "eb" || base == "rsa" || base == "rsb") {
        return number(pointer(IntOfInt{})(integer(1)));
    }
    if (base == "ead" || base == "rsad") {
        return real(pointer(RealOfInt{})(integer(1)));
    }
    if (base == "nea" || base == "nead" || base == "neb" || base == "nsa" || base == "nsad" ||
        base == "nsb") {
        return visible(pointer(TextOfInt{})(integer(1)));
    }
    if (base == "sa" || base == "sb") {
        return number(pointer(IntOfTwo{})(integer(1), integer(2)));
    }
    if (base == "sad") {
        return real(pointer(RealOfIntReal{})(integer(1), floating(2)));
    }
    if (base == "titre" || base == "detail" || base == "stdtitre" || base == "stddetail") {
        return visible(pointer(TextOfNone{})());
    }
    if (base == "sadouble" || base == "sbdouble") {
        return real(pointer(RealOfTwoReals{})(floating(1), floating(2)));
    }
    if (base.size() > 6 && base.compare(base.size() - 6, 6, "double") == 0) {
        if (base[0] == 'n') {
            return visible(pointer(TextOfReal{})(floating(1)));
        }
        return real(pointer(RealOfReal{})(floating(1)));
    }
    return "unknown";
}

// A returned text stays as it was until the next call of the library.
std::string keep_text(HMODULE library)
{
    using TextOfNone = decltype(&::titre);
    auto title =
        reinterpret_cast<TextOfNone>(reinterpret_cast<void*>(GetProcAddress(library, "stdtitre")));
    const char* text = title();
    const std::string copy = text;
    Sleep(50);
    // The library could have changed the text behind the pointer; nothing here did.
    // cppcheck-suppress knownConditionTrueFalse
    return copy == text && copy == "titre dll" ? "kept" : "changed";
}

} // namespace

int main(int argc, char** argv)
{
    HostOptions options;
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        if (std::strcmp(argv[i], "--host-windows") == 0) {
            options.host_windows = true;
        } else if (std::strcmp(argv[i], "--post-quit") == 0) {
            options.post_quit = true;
        } else if (std::strcmp(argv[i], "--fail-message-loop") == 0) {
            options.fail_message_loop = true;
        } else if (std::strcmp(argv[i], "--check-stack") == 0) {
            options.check_stack = true;
        } else if (std::strcmp(argv[i], "--linger") == 0 && i + 1 < argc) {
            options.linger_ms = static_cast<int>(std::strtol(argv[++i], nullptr, 10));
        } else if (std::strcmp(argv[i], "--reopen") == 0 && i + 1 < argc) {
            options.reopen = argv[++i];
        }
    }
    if (i >= argc) {
        std::fprintf(stderr, "usage: bridge_host [options] DLL [CALL...]\n");
        return 2;
    }
    options.dll = argv[i++];
    for (; i < argc; ++i) {
        options.calls.push_back(argv[i]);
    }

    Watch watch;
    watch.main_thread = GetCurrentThreadId();
    watch.post_quit = options.post_quit;
    watch.fail_message_loop = options.fail_message_loop;
    watch.get_message = GetProcAddress(GetModuleHandleA("user32.dll"), "GetMessageA");
    if (options.host_windows) {
        watch.host_disabled_window = make_host_window("Host disabled window", 460, false);
        watch.host_second_window = make_host_window("Host second window", 240, true);
        watch.host_window = make_host_window("Host window", 20, true);
        SetForegroundWindow(watch.host_window);
    }
    watch.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread watcher(watch_prompt, std::ref(watch));
    WaitForSingleObject(watch.ready, INFINITE);
    HMODULE library = LoadLibraryA(options.dll.c_str());
    watch.stop = true;
    watcher.join();

    std::printf("loaded=%d\n", library != nullptr);
    std::printf("prompt.seen=%d\n", watch.prompt_seen);
    for (const auto& line : watch.report) {
        std::printf("%s\n", line.c_str());
    }
    if (options.host_windows) {
        std::printf("host.disabled_while_prompting=%d\n", watch.host_disabled_while_prompting);
        std::printf("host.enabled_after=%d\n", IsWindowEnabled(watch.host_window) ? 1 : 0);
        std::printf("host_second_window.disabled_while_prompting=%d\n",
                    watch.second_disabled_while_prompting);
        std::printf("host_second_window.enabled_after=%d\n",
                    IsWindowEnabled(watch.host_second_window) ? 1 : 0);
        std::printf("host_disabled_window.enabled_while_prompting=%d\n",
                    watch.disabled_window_enabled_while_prompting);
        std::printf("host_disabled_window.enabled_after=%d\n",
                    IsWindowEnabled(watch.host_disabled_window) ? 1 : 0);
    }
    if (options.fail_message_loop) {
        std::printf("message_loop.failed_calls=%d\n", failed_message_calls.load());
    }
    if (options.post_quit || options.fail_message_loop) {
        MSG message{};
        const BOOL quit = PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        std::printf("quit.seen=%d\nquit.code=%d\n", quit ? 1 : 0, static_cast<int>(message.wParam));
        std::printf("prompt.gone=%d\n", FindWindowA("InputRequester", nullptr) == nullptr);
    }
    if (library == nullptr) {
        return 1;
    }
    for (const auto& call : options.calls) {
        if (call == "keep-text") {
            std::printf("keep-text=%s\n", keep_text(library).c_str());
            continue;
        }
        if (call.rfind("sleep:", 0) == 0) {
            std::printf("%s=1\n", call.c_str());
            std::fflush(stdout);
            Sleep(static_cast<DWORD>(std::strtoul(call.c_str() + 6, nullptr, 10)));
            continue;
        }
        std::printf("%s=%s\n", call.c_str(), call_export(library, split(call)).c_str());
        std::fflush(stdout);
    }
    if (options.check_stack) {
        check_every_export(library);
    }
    FreeLibrary(library);
    if (options.linger_ms > 0) {
        std::printf("unloaded=1\n");
        std::fflush(stdout);
        Sleep(static_cast<DWORD>(options.linger_ms));
    }
    if (!options.reopen.empty()) {
        HANDLE port =
            CreateFileA(("\\\\.\\" + options.reopen).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        std::printf("reopen=%s\n", port != INVALID_HANDLE_VALUE ? "ok" : "failed");
        if (port != INVALID_HANDLE_VALUE) {
            CloseHandle(port);
        }
    }
    return 0;
}
