# File-system backends (Win32 for the product, POSIX for native builds).
