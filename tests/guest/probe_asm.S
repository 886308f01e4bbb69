/* void probe_gate_regs(int nr, unsigned out[7])
 * Enters the kernel with known values in every register and stores what
 * ebx, ecx, edx, esi, edi and ebp hold afterwards, then eax. */
        .text
        .globl  probe_gate_regs
        .type   probe_gate_regs, @function
probe_gate_regs:
        pushl   %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        movl    20(%esp), %eax
        movl    $0x11111111, %ebx
        movl    $0x22222222, %ecx
        movl    $0x33333333, %edx
        movl    $0x44444444, %esi
        movl    $0x55555555, %edi
        movl    $0x66666666, %ebp
        int     $0x80
        pushl   %eax
        movl    28(%esp), %eax
        movl    %ebx, 0(%eax)
        movl    %ecx, 4(%eax)
        movl    %edx, 8(%eax)
        movl    %esi, 12(%eax)
        movl    %edi, 16(%eax)
        movl    %ebp, 20(%eax)
        popl    %ecx
        movl    %ecx, 24(%eax)
        movl    %ecx, %eax
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret
        .size   probe_gate_regs, . - probe_gate_regs

        .section .note.GNU-stack, "", @progbits
