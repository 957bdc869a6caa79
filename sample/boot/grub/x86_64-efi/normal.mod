ELF-module normal
