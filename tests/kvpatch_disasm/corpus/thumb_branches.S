@ Every ARM and Thumb branch form that becomes a rel32 reference, with
@ targets inside the image, plus a Thumb-2 BLX placed at an address that is
@ 2 modulo 4.
    .syntax unified
    .text
    .thumb
    .global thumb_branches
    .type thumb_branches, %function
    .p2align 2
thumb_branches:
    push {r4, lr}
    cmp r0, #0
    beq 1f                  @ 16-bit conditional branch
    b 2f                    @ 16-bit unconditional branch
1:  nop
2:  bl thumb_helper         @ 32-bit Thumb-2 branch with link
    beq.w far_target        @ 32-bit Thumb-2 conditional branch
    b.w far_target          @ 32-bit Thumb-2 unconditional branch
    nop                     @ puts the BLX at 2 modulo 4
    blx arm_helper          @ Thumb-2 BLX into ARM code
    pop {r4, pc}

    .type thumb_helper, %function
thumb_helper:
    adds r0, r0, #1
    bx lr

    .p2align 2
    .arm
    .type arm_helper, %function
arm_helper:
    cmp r0, #3
    bne 3f                  @ ARM conditional branch
    bl arm_leaf             @ ARM branch with link
3:  bx lr
arm_leaf:
    add r0, r0, #2
    bx lr

    .thumb
    .p2align 2
    .space 1024
    .type far_target, %function
far_target:
    movs r0, #0
    bx lr
