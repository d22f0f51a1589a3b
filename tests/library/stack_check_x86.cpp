// 32-bit Windows: each export must remove its own arguments (the standard calling convention).
// The call is made from assembly, so that nothing the compiler does around a call can hide a
// callee that removed too few or too many bytes: the stack pointer is read right before the
// arguments are pushed and right after the call returns.
#include "stack_check.h"

#include "ohmbridge.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

namespace {

struct Outcome {
    std::int32_t eax;
    std::int32_t stack_difference;
    double st0;
};

} // namespace

// ohm_checked_call(function, arguments, bytes, outcome, real_result): pushes `bytes` bytes of
// arguments as they lie in memory (the first argument lowest, as the convention pushes them
// right to left), calls, and records the result registers and how far the stack pointer ended
// up from where it was before the push.
extern "C" void ohm_checked_call(const void* function, const void* arguments, std::int32_t bytes,
                                 Outcome* outcome,
                                 std::int32_t real_result) __asm__("ohm_checked_call");

__asm__(".text\n"
        ".globl ohm_checked_call\n"
        "ohm_checked_call:\n"
        "    pushl %ebp\n"
        "    movl %esp, %ebp\n"
        "    pushl %esi\n"
        "    pushl %edi\n"
        "    pushl %ebx\n"
        "    movl %esp, %ebx\n"     // the stack pointer before the arguments
        "    movl 16(%ebp), %ecx\n" // bytes
        "    movl 12(%ebp), %esi\n" // arguments
        "    subl %ecx, %esp\n"
        "    movl %esp, %edi\n"
        "    cld\n"
        "    rep movsb\n"
        "    call *8(%ebp)\n"
        "    movl 20(%ebp), %ecx\n" // outcome
        "    movl %eax, 0(%ecx)\n"
        "    movl %esp, %edx\n"
        "    subl %ebx, %edx\n"
        "    movl %edx, 4(%ecx)\n"
        "    cmpl $0, 24(%ebp)\n"
        "    je 1f\n"
        "    fstpl 8(%ecx)\n" // a real result is on the floating-point stack
        "1:\n"
        "    movl %ebx, %esp\n"
        "    popl %ebx\n"
        "    popl %edi\n"
        "    popl %esi\n"
        "    popl %ebp\n"
        "    ret\n");

namespace {

std::string visible(const char* text)
{
    std::string shown;
    char code[8];
    for (const char* c = text; c != nullptr && *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            shown += *c;
        } else {
            std::snprintf(code, sizeof code, "\\x%02X", byte);
            shown += code;
        }
    }
    return shown;
}

template <typename R>
std::string shown_result(const Outcome& outcome)
{
    if constexpr (std::is_floating_point_v<R>) {
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", outcome.st0);
        return text;
    } else if constexpr (std::is_pointer_v<R>) {
        return visible(reinterpret_cast<const char*>(static_cast<std::intptr_t>(outcome.eax)));
    } else {
        return std::to_string(outcome.eax);
    }
}

int checked = 0;

// The declared type (a null pointer of it) gives the argument bytes and the result's kind.
template <typename R, typename... P, typename... A>
void check(HMODULE library, const char* name, R(OHMBRIDGE_CALL*)(P...), A... arguments)
{
    static_assert(sizeof...(P) == sizeof...(A), "one value per declared argument");
    unsigned char block[32] = {};
    std::int32_t size = 0;
    [[maybe_unused]] const auto append = [&](auto value) {
        std::memcpy(block + size, &value, sizeof value);
        size += static_cast<std::int32_t>(sizeof value);
    };
    (append(static_cast<P>(arguments)), ...);
    const auto function = reinterpret_cast<const void*>(GetProcAddress(library, name));
    if (function == nullptr) {
        std::printf("checked.%s=missing\n", name);
        return;
    }
    Outcome outcome{};
    ohm_checked_call(function, block, size, &outcome, std::is_floating_point_v<R> ? 1 : 0);
    std::printf("checked.%s=%s\nchecked.%s.stack=%d\n", name, shown_result<R>(outcome).c_str(),
                name, static_cast<int>(outcome.stack_difference));
    std::fflush(stdout);
    ++checked;
}

} // namespace

// The export's name and a null pointer of its declared type.
#define DECLARED(name)                                                                             \
#name, decltype(&::name) {}

void check_every_export(HMODULE library)
{
    check(library, DECLARED(ea), 0);
    check(library, DECLARED(stdea), 256);
    check(library, DECLARED(ead), 0);
    check(library, DECLARED(stdead), 0);
    check(library, DECLARED(eb), 0);
    check(library, DECLARED(stdeb), 1);
    check(library, DECLARED(nea), 0);
    check(library, DECLARED(stdnea), 0);
    check(library, DECLARED(nead), 0);
    check(library, DECLARED(stdnead), 3);
    check(library, DECLARED(neb), 0);
    check(library, DECLARED(stdneb), 0);
    check(library, DECLARED(nsa), 0);
    check(library, DECLARED(stdnsa), 0);
    check(library, DECLARED(nsad), 0);
    check(library, DECLARED(stdnsad), 0);
    check(library, DECLARED(nsb), 0);
    check(library, DECLARED(stdnsb), 0);
    check(library, DECLARED(sa), 0, 300);
    check(library, DECLARED(rsa), 5);
    check(library, DECLARED(stdsa), 1, 7);
    check(library, DECLARED(stdrsa), 0);
    check(library, DECLARED(sad), 5, 2.5);
    check(library, DECLARED(rsad), 0);
    check(library, DECLARED(stdsad), 0, -1.25);
    check(library, DECLARED(stdrsad), 9);
    check(library, DECLARED(sb), 3, 1);
    check(library, DECLARED(rsb), 3);
    check(library, DECLARED(stdsb), 4, 300);
    check(library, DECLARED(stdrsb), 4);
    check(library, DECLARED(titre));
    check(library, DECLARED(detail));
    check(library, DECLARED(stdtitre));
    check(library, DECLARED(stddetail));
    check(library, DECLARED(eadouble), 0.4);
    check(library, DECLARED(stdeadouble), 0.5);
    check(library, DECLARED(ebdouble), 0.5);
    check(library, DECLARED(stdebdouble), -0.4);
    check(library, DECLARED(neadouble), 0.0);
    check(library, DECLARED(stdneadouble), 256.0);
    check(library, DECLARED(nebdouble), 0.0);
    check(library, DECLARED(stdnebdouble), 0.0);
    check(library, DECLARED(nsadouble), 0.0);
    check(library, DECLARED(stdnsadouble), 0.0);
    check(library, DECLARED(nsbdouble), 0.0);
    check(library, DECLARED(stdnsbdouble), 0.0);
    check(library, DECLARED(sadouble), 99.0, 0.125);
    check(library, DECLARED(rsadouble), 0.0);
    check(library, DECLARED(stdsadouble), 0.0, 8.0);
    check(library, DECLARED(stdrsadouble), 1.0);
    check(library, DECLARED(sbdouble), 2.5, 6.5);
    check(library, DECLARED(rsbdouble), 3.0);
    check(library, DECLARED(stdsbdouble), -0.5, 1.0);
    check(library, DECLARED(stdrsbdouble), 2.4);
    std::printf("stack.checked=%d\n", checked);
}
