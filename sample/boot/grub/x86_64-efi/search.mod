ELF-module search
