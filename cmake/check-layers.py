#!/usr/bin/env python3
"""The layers' rules, checked on the sources:  check-layers.py SOURCE_DIR [STAMP]

- A file includes headers of its own layer and of the layers below it, never above or beside it
  (platform < bridge < plugins, media < companion < app).
- Outside platform/, no header of the platform's libraries (GTK, GDK, GLib, WebKit, JavaScriptCore,
  libsoup, libsecret, ICU, expat, X11, Wayland, the indicator) nor of the system's calls
  (unistd.h, fcntl.h, poll.h, dlfcn.h, sys/..., netinet/..., ...).
- Outside platform/, no call of a system function (::open(...), ::read(...), ...).

Each breach is named with its file and line; any breach fails. STAMP is touched when none is found.
"""
import pathlib
import re
import sys

RANK = {"platform": 0, "bridge": 1, "plugins": 2, "media": 2, "companion": 3, "app": 4}
LAYER_INCLUDE = re.compile(r'^\s*#\s*include\s*"(platform|bridge|plugins|media|companion|app)/')
SYSTEM_INCLUDE = re.compile(r"^\s*#\s*include\s*<([^>]+)>")
PLATFORM_HEADERS = re.compile(
    r"^(gtk|gdk|gdk-pixbuf|glib|gio|gobject|gmodule|webkit2|webkit|JavaScriptCore|jsc|libsoup|libsecret|unicode|X11"
    r"|libayatana-appindicator|libappindicator|sys|netinet|arpa|linux|net|asm)/"
    r"|^(glib|glib-object|glib-unix|gmodule|expat|expat_external|wayland-client(-core|-protocol)?|unistd|fcntl|poll"
    r"|dlfcn|ifaddrs|pwd|grp|netdb|termios|spawn)\.h$")
SYSTEM_CALL = re.compile(
    r"(?<![\w:.>])::(open|openat|openat2|close|read|write|pread|pwrite|readv|writev|lseek|fstat|fstatat|stat|lstat"
    r"|fcntl|ioctl|ftruncate|truncate|fsync|fdatasync|unlink|unlinkat|rename|renameat|renameat2|mkdir|mkdirat|rmdir"
    r"|symlink|readlink|chmod|fchmod|socket|socketpair|bind|connect|listen|accept|send|sendto|sendmsg|recv|recvfrom"
    r"|recvmsg|getsockname|setsockopt|poll|select|pipe|pipe2|dup|dup2|dup3|memfd_create|mmap|munmap|dlopen|dlsym"
    r"|dladdr|syscall|uname|copy_file_range|sendfile|fork|execv|execvp|waitpid|kill)\s*\(")


def breaches(root):
    for layer, rank in RANK.items():
        for path in sorted((root / layer).rglob("*")):
            if path.suffix not in (".cpp", ".h"):
                continue
            where = path.relative_to(root)
            for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                if m := LAYER_INCLUDE.match(line):
                    to = m.group(1)
                    if to != layer and RANK[to] >= rank:
                        yield f"{where}:{number}: {layer}/ includes {to}/, a layer above or beside it"
                elif layer == "platform":
                    continue
                elif m := SYSTEM_INCLUDE.match(line):
                    if PLATFORM_HEADERS.search(m.group(1)):
                        yield f"{where}:{number}: <{m.group(1)}> is the platform's: {layer}/ reaches it through platform/"
                elif m := SYSTEM_CALL.search(line.split("//")[0]):
                    yield f"{where}:{number}: ::{m.group(1)}() is a system call: {layer}/ reaches it through platform/"


def main():
    root = pathlib.Path(sys.argv[1])
    found = list(breaches(root))
    for text in found:
        print(text, file=sys.stderr)
    if found:
        print(f"The layers' rules are broken in {len(found)} place{'' if len(found) == 1 else 's'}.", file=sys.stderr)
        return 1
    if len(sys.argv) > 2:
        pathlib.Path(sys.argv[2]).touch()
    return 0


if __name__ == "__main__":
    sys.exit(main())
