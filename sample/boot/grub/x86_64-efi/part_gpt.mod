ELF-module part_gpt
