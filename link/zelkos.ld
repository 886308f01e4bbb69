/* Image layout of a zelkos executable: code, read-only data and writable
 * data each in a segment of its own, so that no two of them share a page
 * and the kernel's paging guards can protect code and constants. */
ENTRY(_start)

PHDRS
{
  text   PT_LOAD FLAGS(5);   /* read, execute */
  rodata PT_LOAD FLAGS(4);   /* read */
  data   PT_LOAD FLAGS(6);   /* read, write */
}

SECTIONS
{
  . = 0x400000;

  /* "NAME : ALIGN(n)" raises the section's own alignment to n, so that the
   * file states it too; an address expression alone would only place the
   * section and leave the alignment of its inputs. */

  /* _start must be the first byte of .text: the loader enters there. */
  .text : ALIGN(4096) {
    KEEP(*(.text._start))
    *(.text .text.*)
  } :text

  .rodata : ALIGN(4096) {
    *(.rodata .rodata.*)
  } :rodata

  /* The metadata records are read by tools, never by code: KEEP them. */
  .zelkos.cmdmeta : ALIGN(32) { KEEP(*(.zelkos.cmdmeta)) } :rodata
  .zelkos.pkgmeta : ALIGN(4) { KEEP(*(.zelkos.pkgmeta)) } :rodata

  .data : ALIGN(4096) {
    *(.data .data.*)
  } :data

  .bss : ALIGN(4096) {
    *(.bss .bss.*)
    *(COMMON)
  } :data

  /* Debugging information stays in the file but is never loaded. */
  .debug_info 0 : { *(.debug_info) }
  .debug_abbrev 0 : { *(.debug_abbrev) }
  .debug_line 0 : { *(.debug_line) }
  .debug_line_str 0 : { *(.debug_line_str) }
  .debug_str 0 : { *(.debug_str) }
  .debug_str_offsets 0 : { *(.debug_str_offsets) }
  .debug_addr 0 : { *(.debug_addr) }
  .debug_loclists 0 : { *(.debug_loclists) }
  .debug_rnglists 0 : { *(.debug_rnglists) }
  .debug_frame 0 : { *(.debug_frame) }
  .debug_aranges 0 : { *(.debug_aranges) }
  .debug_ranges 0 : { *(.debug_ranges) }
  .debug_loc 0 : { *(.debug_loc) }
  .symtab 0 : { *(.symtab) }
  .strtab 0 : { *(.strtab) }
  .shstrtab 0 : { *(.shstrtab) }

  /* Nothing runs constructors, so .init_array and .ctors are not placed:
   * as orphans they fail the link instead of being dropped in silence. */
  /DISCARD/ : {
    *(.comment) *(.note .note.*) *(.eh_frame .eh_frame_hdr)
  }
}
