ELF-module i386 part_msdos
