// The zero descriptor that ends the table of delay-import descriptors.
// dlltool's delay-import libraries put their descriptors in .text$2 and the
// linker sorts .text$* by name, so this one follows the last of them; tools
// that list delay imports stop at it.
extern "C" __attribute__((section(".text$3"), used, aligned(16)))
const char tolvane_delay_import_end[32] = {};
