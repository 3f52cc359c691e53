// Fiber context switch for x86-64 System V. A suspended fiber's state lives on its own
// stack: the callee-saved registers (rbp, rbx, r12-r15), the SSE control and status
// register and the x87 control word, with the stack pointer kept in its fiber record.
// Everything else is caller-saved, so a switch is a plain function call to the
// compiler: no system call, no signal mask.
//
// The switch leaves through an indirect jump to the target's return address rather
// than a ret: a ret would be predicted from this fiber's call stack and miss on every
// switch, while the jump is predicted from its own history.
//
// Frame of a suspended fiber, from its saved stack pointer upwards:
//   [rsp+0] mxcsr  [rsp+4] x87 control word  [rsp+6] unused
//   [rsp+8] r15  [rsp+16] r14  [rsp+24] r13  [rsp+32] r12  [rsp+40] rbx  [rsp+48] rbp
//   [rsp+56] return address

    .text

// void OxFiberSwitchContext(void** ppFromStackPointer /* rdi */, void* pToStackPointer /* rsi */)
    .globl OxFiberSwitchContext
    .hidden OxFiberSwitchContext
    .type OxFiberSwitchContext, @function
    .p2align 4
OxFiberSwitchContext:
    .cfi_startproc
    // The control words go first, straight into their slot below the registers (in the
    // red zone until the pushes cover it): stmxcsr is slow on some cores, and this lets
    // the pushes overlap it. Loading them back unconditionally measured faster than
    // reading ours back to skip equal loads.
    stmxcsr -56(%rsp)
    fnstcw -52(%rsp)
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    movq %rsp, (%rdi)

    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    popq %rcx
    jmpq *%rcx
    .cfi_endproc
    .size OxFiberSwitchContext, .-OxFiberSwitchContext

// First code of a new fiber: its prepared frame "returns" here with the fiber record in
// r12. Calls OxFiberEntry(record) on a 16-byte aligned stack; that never returns.
    .globl OxFiberStartTrampoline
    .hidden OxFiberStartTrampoline
    .type OxFiberStartTrampoline, @function
    .p2align 4
OxFiberStartTrampoline:
    .cfi_startproc
    .cfi_undefined rip
    xorl %ebp, %ebp
    movq %r12, %rdi
    andq $-16, %rsp
    call OxFiberEntry@PLT
    ud2
    .cfi_endproc
    .size OxFiberStartTrampoline, .-OxFiberStartTrampoline

    .section .note.GNU-stack,"",@progbits
