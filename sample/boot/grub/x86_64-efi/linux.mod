ELF-module linux
