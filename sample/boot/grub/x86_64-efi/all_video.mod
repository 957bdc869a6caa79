ELF-module all_video
