// Fiber context switch for x86-64 System V. A suspended fiber's state lives on its own
// stack: the callee-saved registers (rbp, rbx, r12-r15), a slot for the SSE control and
// status register and the x87 control word, with the stack pointer kept in its fiber
// record. Everything else is caller-saved, so a switch is a plain function call to the
// compiler: no system call, no signal mask.
//
// The control words belong to the thread unless a fiber asks to carry its own (as a
// Windows fiber created with FIBER_FLAG_FLOAT_SWITCH): reading MXCSR (stmxcsr) is
// microcoded and costs more than the rest of the switch together on some cores, so the
// plain switch leaves them alone and OxFiberSwitchContextFloat handles the fibers that
// carry them. Both keep the same frame, so any two fibers can switch to each other.
//
// The switch leaves through an indirect jump to the target's return address rather
// than a ret: a ret would be predicted from this fiber's call stack and miss on every
// switch, while the jump is predicted from its own history.
//
// Frame of a suspended fiber, from its saved stack pointer upwards:
//   [rsp+0] mxcsr  [rsp+4] x87 control word  [rsp+6] unused  (valid only when saved)
//   [rsp+8] r15  [rsp+16] r14  [rsp+24] r13  [rsp+32] r12  [rsp+40] rbx  [rsp+48] rbp
//   [rsp+56] return address

    .text

// Pushes the callee-saved registers below the return address, leaves room for the
// control words and stores the resulting stack pointer through rdi.
.macro SAVE_FIBER_FRAME
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    movq %rsp, (%rdi)
.endm

// With rsp just above the control-word slot of the target's frame: restores its
// callee-saved registers and continues at its return address.
.macro LEAVE_TO_FIBER_FRAME
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    popq %rcx
    jmpq *%rcx
.endm

// void OxFiberSwitchContext(void** ppFromStackPointer /* rdi */, void* pToStackPointer /* rsi */)
    .globl OxFiberSwitchContext
    .hidden OxFiberSwitchContext
    .type OxFiberSwitchContext, @function
    .p2align 4
OxFiberSwitchContext:
    .cfi_startproc
    SAVE_FIBER_FRAME

    leaq 8(%rsi), %rsp
    LEAVE_TO_FIBER_FRAME
    .cfi_endproc
    .size OxFiberSwitchContext, .-OxFiberSwitchContext

// void OxFiberSwitchContextFloat(void** ppFromStackPointer /* rdi */, void* pToStackPointer /* rsi */,
//                                unsigned mode /* edx: bit 0 save the control words, bit 1 load them */)
    .globl OxFiberSwitchContextFloat
    .hidden OxFiberSwitchContextFloat
    .type OxFiberSwitchContextFloat, @function
    .p2align 4
OxFiberSwitchContextFloat:
    .cfi_startproc
    // Saved straight into their slot below the registers (in the red zone until the
    // pushes cover it), so that the pushes overlap the slow stmxcsr.
    testl $1, %edx
    jz 1f
    stmxcsr -56(%rsp)
    fnstcw -52(%rsp)
1:
    SAVE_FIBER_FRAME

    movq %rsi, %rsp
    testl $2, %edx
    jz 2f
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
2:
    addq $8, %rsp
    LEAVE_TO_FIBER_FRAME
    .cfi_endproc
    .size OxFiberSwitchContextFloat, .-OxFiberSwitchContextFloat

// First code of a new fiber: its frame, prepared by PrepareFiberContext
// (fiber-switch-x64-sysv.cpp), "returns" here with the entry argument in r12. Calls
// OxFiberEntry(argument) on a 16-byte aligned stack; that never returns.
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
