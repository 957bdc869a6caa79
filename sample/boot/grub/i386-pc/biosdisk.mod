ELF-module i386 biosdisk
