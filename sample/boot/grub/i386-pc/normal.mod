ELF-module i386 normal
