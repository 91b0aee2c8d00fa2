// The stdcall caller of dll_under_test.h. In assembly because a compiler-made
// call would clean up behind a faulty callee and hide the fault.
#include "win32/dll_under_test.h"

static_assert(sizeof(void*) == 4, "the stdcall probe is for 32-bit x86");

// The stack is 16-byte aligned at the call, as compiled callers keep it.
// EDI (callee-saved) holds the stack pointer from just before the arguments.
asm(R"(
    .text
    .globl _KvarnCallStdcall
    .def _KvarnCallStdcall; .scl 2; .type 32; .endef
_KvarnCallStdcall:
    push %ebp
    mov %esp, %ebp
    push %ebx
    push %esi
    push %edi
    mov 12(%ebp), %esi
    mov 16(%ebp), %ecx
    lea 0(,%ecx,4), %eax
    mov %esp, %edx
    sub %eax, %edx
    and $-16, %edx
    add %eax, %edx
    mov %edx, %esp
    mov %esp, %edi
1:  test %ecx, %ecx
    jz 2f
    dec %ecx
    push (%esi,%ecx,4)
    jmp 1b
2:  call *8(%ebp)
    mov %esp, %ecx
    sub %edi, %ecx
    mov 20(%ebp), %edx
    mov %ecx, (%edx)
    lea -12(%ebp), %esp
    pop %edi
    pop %esi
    pop %ebx
    pop %ebp
    ret
)");
