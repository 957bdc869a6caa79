ELF-module ext2
