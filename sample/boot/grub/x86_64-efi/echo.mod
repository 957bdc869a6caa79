ELF-module echo
