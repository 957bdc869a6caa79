ELF-module gzio
