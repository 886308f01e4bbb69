/* A compute-bound guest: 10^8 steps of a linear congruential generator,
 * each storing its value into a 4 KiB ring, then exit. The exit call's
 * number is the only difference between the zelkos and the Linux build. */
        .section .text._start, "ax", @progbits
        .globl  _start
_start:
        movl    $100000000, %ecx
        movl    $12345, %eax
        xorl    %esi, %esi
1:      imull   $1103515245, %eax, %eax
        addl    $12345, %eax
        movl    %eax, ring(,%esi,4)
        incl    %esi
        andl    $1023, %esi
        decl    %ecx
        jnz     1b
        movl    $EXIT_NR, %eax
        xorl    %ebx, %ebx
        int     $0x80
        hlt

        .bss
        .balign 16
ring:   .space  4096

        .section .note.GNU-stack, "", @progbits
