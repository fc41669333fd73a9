// Assembles a data file into the module's read-only data. The assembler
// includes the file directly, so the bytes never pass through the C++ front
// end (a megabyte-sized array initialiser would cost seconds to compile) and
// nothing is read from disk at run time. The two symbols mark the first byte
// and the end of the data; they are hidden so that the module exports nothing
// but its initialisation function. Use at namespace scope, once per file.
#pragma once

#define TESSARIN_INCBIN_STR(x) #x
#define TESSARIN_INCBIN(section, begin, end, path)                                  \
  asm(".pushsection ." "rodata." TESSARIN_INCBIN_STR(section) ",\"a\",@progbits\n" \
      ".balign 16\n"                                                                \
      ".hidden " TESSARIN_INCBIN_STR(begin) "\n"                                    \
      ".hidden " TESSARIN_INCBIN_STR(end) "\n"                                      \
      ".globl " TESSARIN_INCBIN_STR(begin) "\n"                                     \
      ".globl " TESSARIN_INCBIN_STR(end) "\n"                                       \
      ".type " TESSARIN_INCBIN_STR(begin) ", @object\n"                             \
      TESSARIN_INCBIN_STR(begin) ":\n"                                              \
      ".incbin \"" path "\"\n"                                                      \
      TESSARIN_INCBIN_STR(end) ":\n"                                                \
      ".size " TESSARIN_INCBIN_STR(begin) ", " TESSARIN_INCBIN_STR(end) " - "       \
      TESSARIN_INCBIN_STR(begin) "\n"                                               \
      ".popsection\n");                                                             \
  extern "C" {                                                                      \
  extern const unsigned char begin[];                                               \
  extern const unsigned char end[];                                                 \
  }
