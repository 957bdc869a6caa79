ELF-module i386 linux
