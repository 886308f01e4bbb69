/* Process entry. The loader leaves the argument count on top of the stack
 * and the argument vector directly above it. */
        .section .text._start, "ax", @progbits
        .globl  _start
        .type   _start, @function
_start:
        xorl    %ebp, %ebp              /* outermost frame for debuggers */
        movl    (%esp), %eax            /* argc */
        leal    4(%esp), %ecx           /* argv */
        andl    $-16, %esp
        /* Two words, not one: after the two pushes and the call, main's
         * arguments start on a 16-byte boundary as the i386 ABI requires
         * at every call, so compiler-generated aligned vector spills in
         * main and below do not fault. */
        subl    $8, %esp
        pushl   %ecx
        pushl   %eax
        call    main
        movl    %eax, (%esp)            /* status, keeping the alignment */
        call    _exit
.hang:
        jmp     .hang
        .size   _start, . - _start

        .section .note.GNU-stack, "", @progbits
