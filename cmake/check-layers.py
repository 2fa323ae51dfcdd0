#!/usr/bin/env python3
"""The layers' rules, checked on the sources:  check-layers.py SOURCE_DIR [STAMP]

- A file includes headers of its own layer and of the layers below it, never above or beside it
  (platform < bridge < plugins, media < companion < app). An include is taken from where the
  compiler finds it: "x.h" beside the including file first ("../app/x.h" only there), then below
  the source root, which is on the include path for "app/x.h" and <app/x.h> alike. No layer
  includes a file of the tree outside the layers (tests/...).
- Outside platform/, a header from outside the source tree is one of the C++ standard library
  (by its C++ name; <csignal> excepted: signals are the platform's) or of a library that layer
  uses itself (ALLOWED). Everything else (the system's headers: unistd.h, sys/..., dirent.h,
  pthread.h, ...; the platform's libraries: GTK, GLib, WebKit, libsoup, libsecret, ICU, expat,
  X11, Wayland) is reached through platform/.
- A platform header that a file of another layer includes (directly or through other headers)
  includes no header that file could not include itself: platform types, not the system's, cross
  the layers.
- Outside platform/, no call of a system function: neither `::close(fd)` nor `close(fd)`. A bare
  name counts as the system's unless the file, or a header of the tree it includes, declares
  that name itself (a method `close()`, a lambda `send`); `x.close()`, `x->close()` and
  `ns::close()` are never the system's.
- Outside platform/, none of the system's file and socket types and flags (struct stat, S_ISDIR,
  O_CREAT, sockaddr, AF_INET, ...).

Comments and the insides of string and character literals are not read. Each breach is named
with its file and line; any breach fails. STAMP is touched when none is found.
"""
import os
import pathlib
import re
import sys

RANK = {"platform": 0, "bridge": 1, "plugins": 2, "media": 2, "companion": 3, "app": 4}
# The files read; CMakeLists.txt re-runs the check when one of these changes.
SUFFIXES = (".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp", ".hxx", ".inl", ".ipp")

STANDARD_HEADERS = set("""
    algorithm any array atomic barrier bit bitset charconv chrono codecvt compare complex concepts
    condition_variable coroutine deque exception execution expected filesystem format forward_list
    fstream functional future generator initializer_list iomanip ios iosfwd iostream istream iterator
    latch limits list locale map mdspan memory memory_resource mutex new numbers numeric optional
    ostream print queue random ranges ratio regex scoped_allocator semaphore set shared_mutex
    source_location span spanstream sstream stack stacktrace stdexcept stdfloat stop_token streambuf
    string string_view strstream syncstream system_error thread tuple type_traits typeindex typeinfo
    unordered_map unordered_set utility valarray variant vector version
    cassert cctype cerrno cfenv cfloat cinttypes climits clocale cmath csetjmp cstdarg cstddef
    cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype
""".split())
# Libraries outside the platform that a layer uses itself: header folder -> the layers that may.
ALLOWED = {
    "nlohmann/": set(RANK),  # JSON values, everywhere
    "linphone++/": {"media"},  # the SIP back end's library (media/intercom)
}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]*)[>"]')
SYSTEM_NAMES = (
    r"open|openat|openat2|creat|close|read|write|pread|pwrite|readv|writev|lseek|fstat|fstatat|stat|lstat|statx"
    r"|statvfs|fstatvfs|fcntl|ioctl|ftruncate|truncate|fsync|fdatasync|unlink|unlinkat|rename|renameat|renameat2"
    r"|mkdir|mkdirat|rmdir|symlink|symlinkat|readlink|readlinkat|link|linkat|chmod|fchmod|chown|fchown|umask"
    r"|access|faccessat|realpath|chdir|getcwd|mkstemp|mkdtemp|flock|utimensat|futimens"
    r"|opendir|fdopendir|readdir|closedir|scandir|fopen|fdopen|freopen|popen|pclose"
    r"|socket|socketpair|bind|connect|listen|accept|accept4|shutdown|send|sendto|sendmsg|recv|recvfrom|recvmsg"
    r"|getsockname|getpeername|setsockopt|getsockopt|getifaddrs|freeifaddrs|getaddrinfo|freeaddrinfo|getnameinfo"
    r"|inet_pton|inet_ntop|if_nametoindex|gethostname|poll|ppoll|select|eventfd|pipe|pipe2|dup|dup2|dup3"
    r"|memfd_create|mmap|munmap|mprotect|madvise|dlopen|dlsym|dlclose|dladdr|dlerror|syscall|uname|prctl"
    r"|copy_file_range|sendfile|fork|vfork|execv|execvp|execve|execl|execlp|waitpid|kill|_exit"
    r"|sigaction|sigprocmask|signal|raise|getpid|getuid|geteuid|getpwuid|getpwnam|isatty|usleep|nanosleep"
    r"|(?:pthread|sched|sem|shm|posix|epoll|inotify|timerfd)_\w+")
GLOBAL_CALL = re.compile(rf"(?<![\w:>])::({SYSTEM_NAMES})\s*\(")
BARE_CALL = re.compile(rf"\b({SYSTEM_NAMES})\s*\(")
NOT_THE_SYSTEMS = re.compile(r"(\.|->|::)\s*$")
# The name declared: a function, a variable or a parameter after its type, or brought in by `using`.
KEYWORDS = r"return|co_return|co_await|co_yield|throw|else|case|do|new|delete|sizeof|not|and|or|goto"
TYPE_BEFORE = rf"(?<![\w.])(?!(?:{KEYWORDS})\b)\w+\s+|(?<!-)>\s*|[\w>][*&]{{1,2}}\s*|[\w>]\s+[*&]{{1,2}}"
DECLARED = re.compile(rf"(?:{TYPE_BEFORE})({SYSTEM_NAMES})\s*[(=;,){{\[]|\busing\s+(?:\w+::)+({SYSTEM_NAMES})\s*;")
SYSTEM_TYPE = re.compile(
    r"\bstruct\s+(stat|statvfs|dirent|ifaddrs|sigaction|sockaddr\w*)\b|\b(sockaddr(?:_in6?|_un|_storage)?|socklen_t"
    r"|S_IS(?:DIR|REG|LNK|CHR|BLK|FIFO|SOCK)|O_(?:RDONLY|WRONLY|RDWR|CREAT|EXCL|APPEND|TRUNC|NONBLOCK|CLOEXEC"
    r"|NOFOLLOW|DIRECTORY|PATH|NOCTTY)|AF_(?:INET6?|UNIX|UNSPEC|PACKET))\b")
LEXEME = re.compile(r'//|/\*|\b(?:u8|u|U|L)?R"([^()\\\s]{0,16})\(|"|\'')


def blank(text):
    return re.sub(r"[^\n]", " ", text)


def code_of(text):
    """The text with comments and the insides of literals blanked; lines and columns kept."""
    out, i, n = [], 0, len(text)
    while m := LEXEME.search(text, i):
        out.append(text[i:m.start()])
        lexeme = m.group(0)
        if lexeme == "//":
            end = text.find("\n", m.end())
            end = n if end < 0 else end
            out.append(blank(text[m.start():end]))
        elif lexeme == "/*":
            end = text.find("*/", m.end())
            end = n if end < 0 else end + 2
            out.append(blank(text[m.start():end]))
        elif lexeme.endswith("("):  # a raw string
            close = text.find(")" + m.group(1) + '"', m.end())
            end = n if close < 0 else close + len(m.group(1)) + 2
            out.append(lexeme + blank(text[m.end():end]))
        elif lexeme == "'" and m.start() > 0 and text[m.start() - 1].isalnum():  # 1'000
            end = m.end()
            out.append(lexeme)
        else:
            end = m.end()
            while end < n and text[end] not in (lexeme, "\n"):
                end += 2 if text[end] == "\\" else 1
            end = min(end + 1, n)
            out.append(lexeme + blank(text[m.end():end]))
        i = end
    out.append(text[i:])
    return "".join(out)


class Tree:
    def __init__(self, root):
        self.root = root
        self.files = {}  # relative path -> (text, code)
        self.found = {}  # relative path -> its includes
        self.declared = {}  # relative path -> the system's names it declares itself

    def read(self, where):
        if where not in self.files:
            text = (self.root / where).read_text(errors="replace")
            self.files[where] = (text.splitlines(), code_of(text).splitlines())
        return self.files[where]

    def includes(self, where):
        """(line number, quoted, name, where the compiler finds it: a path below the root, None outside the tree)."""
        if where not in self.found:
            self.found[where] = list(self.find_includes(where))
        return self.found[where]

    def find_includes(self, where):
        text, code = self.read(where)
        for number, (line, stripped) in enumerate(zip(text, code), 1):
            if not re.match(r"\s*#\s*include\b", stripped) or not (m := INCLUDE.match(line)):
                continue
            kind, name = m.groups()
            found = None
            if kind == '"':
                beside = os.path.normpath(os.path.join(os.path.dirname(where), name))
                if name.startswith(("./", "../")) or (self.root / beside).is_file():
                    found = beside
            if found is None:
                below = os.path.normpath(name)
                if below.split("/")[0] in RANK or (self.root / below).is_file():
                    found = below
            if found is not None and (os.path.isabs(found) or found == ".." or found.startswith("../")):
                found = None
            yield number, kind == '"', name, found

    def reached(self, where):
        """The file and the files of the tree it includes, directly or through others."""
        seen, todo = [where], [where]
        while todo:
            for *_, found in self.includes(todo.pop()):
                if found and found not in seen and (self.root / found).is_file():
                    seen.append(found)
                    todo.append(found)
        return seen

    def declarations(self, where):
        """The system's names that the file and the tree's headers it includes declare themselves."""
        names = set()
        for at in self.reached(where):
            if at not in self.declared:
                self.declared[at] = {a or b for a, b in DECLARED.findall("\n".join(self.read(at)[1]))}
            names |= self.declared[at]
        return names


def layer_of(path):
    return path.split("/")[0]


def external_header_allowed(name, layer):
    if name in STANDARD_HEADERS:
        return True
    return any(name.startswith(folder) and layer in layers for folder, layers in ALLOWED.items())


def external_header_breach(where, number, quoted, name, layer):
    shown = f'"{name}"' if quoted else f"<{name}>"
    return (f"{where}:{number}: {shown} is not the C++ standard library's (nor a library's that {layer}/ may use): "
            f"{layer}/ reaches the system and the platform's libraries through platform/")


def breaches(root):
    tree = Tree(root)
    exported = {}  # (a platform header, a layer above that includes it) -> a file of that layer that does
    for layer, rank in RANK.items():
        for path in sorted((root / layer).rglob("*")):
            if path.suffix not in SUFFIXES or not path.is_file():
                continue
            where = path.relative_to(root).as_posix()
            for number, quoted, name, found in tree.includes(where):
                if found is not None:
                    to = layer_of(found)
                    if to not in RANK:
                        yield f"{where}:{number}: {layer}/ includes {found}, which belongs to no layer"
                    elif to != layer and RANK[to] >= rank:
                        yield f"{where}:{number}: {layer}/ includes {to}/, a layer above or beside it"
                elif layer != "platform" and not external_header_allowed(name, layer):
                    yield external_header_breach(where, number, quoted, name, layer)
            if layer == "platform":
                continue
            for header in tree.reached(where):
                if layer_of(header) == "platform":
                    exported.setdefault((header, layer), where)
            declared = None
            for number, line in enumerate(tree.read(where)[1], 1):
                if re.match(r"\s*#\s*include\b", line):
                    continue
                if m := GLOBAL_CALL.search(line):
                    yield f"{where}:{number}: ::{m.group(1)}() is a system call: {layer}/ reaches it through platform/"
                    continue
                for m in BARE_CALL.finditer(line):
                    if NOT_THE_SYSTEMS.search(line[:m.start()]):
                        continue
                    if declared is None:
                        declared = tree.declarations(where)
                    if m.group(1) not in declared:
                        yield (f"{where}:{number}: {m.group(1)}() is a system call: "
                               f"{layer}/ reaches it through platform/")
                        break
                if m := SYSTEM_TYPE.search(line):
                    yield f"{where}:{number}: {m.group(0)} is the system's: {layer}/ uses the platform's types"
    # A platform header that another layer includes brings nothing in that this layer may not include.
    for header in sorted({header for header, _ in exported}):
        for number, quoted, name, found in tree.includes(header):
            for layer in RANK:
                where = exported.get((header, layer))
                if found is None and where and not external_header_allowed(name, layer):
                    shown = f'"{name}"' if quoted else f"<{name}>"
                    yield (f"{header}:{number}: {shown} comes with this header to {layer}/ ({where}), which may "
                           f"not include it: a platform header that other layers use gives them platform types")
                    break


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
