"""Archives elsewhere: a root or files named by an fsspec URL (s3://, az://,
memory://, ...) or a zip file, read from their bytes.

A zip file on this machine is listed with zipfile and its members are read
by the core where they lie (a _core.ZipMembers holds their places); what
follows is of the other places.

The listing is taken through fsspec and the archive files are found in it by
the rules of a local walk (the core applies them: the day in the name, the
byte order of the whole names). Their bytes are fetched on threads of this
process, in the order the read takes them and ahead of it, and copied into
the core, whose workers decode them from memory as they decode a file they
opened. At most ``files_in_flight(threads)`` files are held at once, fetched
or being fetched: memory is bounded by that many of the largest files.

Names in rows, errors and reprs are the URLs without any user or password
written into them; ``storage_options`` (credentials) are handed to fsspec
and appear nowhere else.
"""

from __future__ import annotations

import os

from zentrail import _core
from zentrail._base.extras import import_extra

# Imported by every read: what only reads from elsewhere need (re, threading,
# fsspec) is imported when one is made, so that a local read costs nothing more.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, FrozenSet, Iterable, List, Optional, Sequence, Tuple

# A piece read from a remote file at a time: its offset is known if a read fails.
_CHUNK = 16 << 20
_SCHEME_CHARACTERS = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+.-")


def scheme_of(text: str) -> Optional[str]:
    """A URL's scheme ("s3" of "s3://bucket"), or None: two characters or
    more, so that a Windows drive ("C:\\") is none."""
    scheme, found, _ = text.partition("://")
    if not found or len(scheme) < 2 or not scheme[0].isalpha() or not set(scheme) <= _SCHEME_CHARACTERS:
        return None
    return scheme


def files_in_flight(threads: int) -> int:
    """The most files one read holds in memory at once, fetched or being
    fetched: enough to keep every decoding thread fed while the next files
    arrive over a network."""
    return max(4, 2 * threads)


def shown(url: str) -> str:
    """A URL as messages show it: without user and password."""
    import re

    return re.sub(r"(?<=://)[^/@]*@", "", url)


def is_place(where: Any) -> bool:
    return isinstance(where, Place)


def root_of(root: Any, storage_options: Optional[Dict[str, Any]] = None) -> Any:
    """A root as a read takes it: the bytes of a local path (unchanged code
    path), or a Place for a URL or a zip file."""
    from zentrail._base.arguments import path_bytes

    text = root if isinstance(root, str) else os.fsdecode(root) if isinstance(root, (bytes, os.PathLike)) else None
    if text is not None:
        scheme = scheme_of(text)
        if scheme is None and text.lower().endswith(".zip") and os.path.isfile(text):
            return Place("zip://::" + text, storage_options, zip_file=text)
        if scheme is not None and not (scheme.lower() == "file" and storage_options is None):
            return Place(text, storage_options)
        if scheme is not None:  # file://: a local path
            return path_bytes(text[len("file://"):])
    if storage_options is not None:
        raise ValueError("storage_options is for a root named by a URL (s3://, az://, ...), not a local path")
    return path_bytes(root)


def files_of(paths: Any, storage_options: Optional[Dict[str, Any]] = None) -> Any:
    """Listed files as a read takes them: bytes paths, or a Place of files
    when they are URLs (all of one file system)."""
    from zentrail._base.arguments import path_list

    if isinstance(paths, (str, bytes, os.PathLike)):
        return path_list(paths)  # its TypeError: one path is not a list of them
    paths = list(paths)
    texts = [p if isinstance(p, str) else None for p in paths]
    if not any(t is not None and scheme_of(t) for t in texts):
        if storage_options is not None and texts:
            raise ValueError("storage_options is for files named by URLs (s3://, az://, ...), not local paths")
        return path_list(paths)
    if any(t is None or not scheme_of(t) for t in texts):
        raise ValueError("the files must be all URLs or all local paths")
    return Place(str(texts[0]), storage_options, files=[str(t) for t in texts])


class Place:
    """Where a read's files are: a root URL (listed and searched when read)
    or given files, with the options of its file system. Pickles as what it
    names; the file system is made again where it is read."""

    def __init__(self, url: str, storage_options: Optional[Dict[str, Any]], *, zip_file: Optional[str] = None,
                 files: Optional[List[str]] = None, passed_over: FrozenSet[str] = frozenset()) -> None:
        self.url = url
        self.storage_options = storage_options
        self.zip_file = zip_file
        self.files = files
        # Archive files (by URL) a read leaves out: damaged ones a time series passes over.
        self.passed_over = passed_over
        self._fs: Any = None
        self._root = ""

    def __getstate__(self) -> Dict[str, Any]:
        return {"url": self.url, "storage_options": self.storage_options, "zip_file": self.zip_file,
                "files": self.files, "passed_over": self.passed_over}

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.url = state["url"]
        self.storage_options = state["storage_options"]
        self.zip_file = state["zip_file"]
        self.files = state["files"]
        self.passed_over = state.get("passed_over", frozenset())
        self._fs = None
        self._root = ""

    def without(self, names: Iterable[str]) -> "Place":
        """This place with these archive files (URLs) left out of its reads."""
        return Place(self.url, self.storage_options, zip_file=self.zip_file, files=self.files,
                     passed_over=self.passed_over | frozenset(names))

    def __repr__(self) -> str:
        return repr(self.shown)

    @property
    def shown(self) -> str:
        return self.zip_file if self.zip_file is not None else shown(self.url)

    def _file_system(self) -> Any:
        if self._fs is None:
            import zipfile

            try:
                if self.zip_file is not None:
                    self._fs = _ZipFile(self.zip_file)
                    self._root = ""
                else:
                    fsspec = import_extra("fsspec", f"reading {self.shown}", "remote")
                    self._fs, self._root = fsspec.core.url_to_fs(self.url, **dict(self.storage_options or {}))
            except zipfile.BadZipFile as error:  # its directory cannot be read: no member can be found
                raise ValueError(f"{self.shown!r} is not a readable zip file: {error}") from None
        return self._fs

    def _name(self, path: str) -> str:
        """The name a file of the file system goes by: its URL (a zip
        file's member: the zip file's, then its path in it; of a zip file
        elsewhere, zip://::s3://bucket/plant.zip, that URL's)."""
        prefix = self._zip_prefix()
        if prefix is not None:
            return f"{prefix}{path.lstrip('/')}"
        return shown(self._fs.unstrip_protocol(path))

    def _path(self, name: str) -> str:
        """The file system's path of a file named as ``_name`` names it (or by its URL)."""
        prefix = self._zip_prefix()
        if prefix is not None:
            return name[len(prefix):] if name.startswith(prefix) else name
        return str(self._fs._strip_protocol(name))

    def _zip_prefix(self) -> Optional[str]:
        """What the names of a zip file's members start with, or None for no zip file."""
        if self.zip_file is not None:
            return f"{self.zip_file}/"
        outer = self.url.partition("::")[2]
        if self.url.startswith("zip://") and outer:
            return f"{shown(outer)}/"
        return None

    def with_files(self, names: List[str]) -> "Place":
        """The files of these names (as the listing names them) in the same
        file system, read in this order."""
        return Place(self.url, self.storage_options, zip_file=self.zip_file, files=list(names))

    def first_file(self, file_names: Sequence[str]) -> Optional[Tuple[str, bytes]]:
        """(URL, bytes) of the first of `file_names` found at the root, or
        None when none is there."""
        fs = self._file_system()
        for file_name in file_names:
            path = f"{self._root.rstrip('/')}/{file_name}" if self._root else file_name
            try:
                return self._name(path), fs.cat_file(path)
            except FileNotFoundError:
                continue
            except Exception as error:
                code = _errno_of(error)
                raise OSError(code, f"cannot fetch {self._name(path)}: {error}") from error
        return None

    def listing(self) -> Tuple[List[str], Dict[str, Tuple[str, int]]]:
        """The names of every file under the root (or the files given) and,
        by name, each one's path in the file system and its size."""
        fs = self._file_system()
        where: Dict[str, Tuple[str, int]] = {}
        if self.files is not None:
            names = []
            for url in self.files:
                path = self._path(url)
                name = shown(url)
                names.append(name)
                where[name] = (path, 0)
            return names, where
        try:
            if not self.zip_file and not fs.isdir(self._root):
                import errno

                raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT))
            found = fs.find(self._root, detail=True)
        except Exception as error:  # any file system's failure, as a walk's: OSError(errno, reason, root)
            code = _errno_of(error)
            failure = OSError(code, os.strerror(code), self.shown)
            if hasattr(failure, "add_note"):
                failure.add_note("while searching the tree for archive files")
            raise failure from error
        for path, info in found.items():
            if info.get("type", "file") == "file":
                where[self._name(path)] = (path, int(info.get("size") or 0))
        return list(where), where

    def files_to_read(self, request: Any, found: Tuple[List[str], Dict[str, Tuple[str, int]]],
                      threads: int) -> Tuple[List[bytes], bool, Any]:
        """(where, listed, source) of a request: its archive files (`found`:
        their names and the listing's entries by name), and their bytes on
        their way."""
        names, where = found
        import weakref

        encoded = [os.fsencode(n) for n in names]
        if self.zip_file is not None:
            return encoded, True, self._members(self.zip_file, encoded, [where[n][0] for n in names])
        source = _core.fetched_files(encoded, [where[n][1] for n in names], files_in_flight(threads))
        # A file listed twice is fetched once and read twice.
        once = {e: where[n][0] for e, n in zip(encoded, names)}
        _Fetcher(source, self._fs, list(once.items()), files_in_flight(threads), weakref.ref(request)).start()
        return encoded, True, source


    def _members(self, zip_file: str, encoded: List[bytes], paths: List[str]) -> Any:
        """The members (by their paths in the zip file) that a read reads
        where they lie in this zip file on this machine: the core reads a
        stored member from its bytes there and inflates a deflated one on
        the read's threads, checking each against its CRC."""
        infos = [self._file_system().archive.getinfo(path) for path in paths]
        places = [(i.header_offset, i.compress_size, i.file_size, i.compress_type, i.CRC) for i in infos]
        return _core.zip_members(os.fsencode(zip_file), encoded, places)

    def local_copies(self, request: Any, found: Tuple[List[str], Dict[str, Tuple[str, int]]],
                     threads: int) -> Tuple[List[bytes], List[bytes]]:
        """(copies, names): the archive files `found` copied whole into a
        temporary directory, which is removed once `request` is gone, and
        the files' own names, by which a failure in a copy is told. The
        time-series reads take some files more than once (their record
        heads, then their values), which a stream of fetched bytes cannot
        give. Disk, not memory, holds them; a failed fetch raises here
        naming the file."""
        import shutil
        import tempfile
        import weakref
        from concurrent.futures import ThreadPoolExecutor

        names, where = found
        directory = tempfile.mkdtemp(prefix="zentrail-series-")
        weakref.finalize(request, shutil.rmtree, directory, True)
        # A directory per file: two files of one name in different folders
        # stay apart, and each keeps the name its day is read from.
        targets = [os.path.join(directory, str(n), os.path.basename(name)) for n, name in enumerate(names)]

        def copy(index: int) -> None:
            source_path, _ = where[names[index]]
            os.mkdir(os.path.dirname(targets[index]))
            try:
                with self._fs.open(source_path, "rb") as file, open(targets[index], "wb") as copied:
                    shutil.copyfileobj(file, copied, _CHUNK)
            except Exception as error:
                raise OSError(_errno_of(error), f"cannot fetch {names[index]}: {error}") from error

        with ThreadPoolExecutor(files_in_flight(threads), thread_name_prefix="zentrail-fetch") as pool:
            for done in pool.map(copy, range(len(names))):
                pass
        return [os.fsencode(t) for t in targets], [os.fsencode(n) for n in names]


class _ZipFile:
    """A zip file on this machine as Place lists its members and opens them
    (the calls of an fsspec file system it makes): read with zipfile alone,
    so that a local zip needs no fsspec, nor its import's time."""

    def __init__(self, path: str) -> None:
        import zipfile

        self.archive = zipfile.ZipFile(path)

    def find(self, root: str, detail: bool = True) -> Dict[str, Dict[str, Any]]:
        return {info.filename: {"type": "directory" if info.is_dir() else "file", "size": info.file_size}
                for info in self.archive.infolist()}

    def cat_file(self, path: str) -> bytes:
        try:
            return self.archive.read(path)
        except KeyError:
            import errno

            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path) from None

    def open(self, path: str, mode: str = "rb") -> Any:
        return self.archive.open(path)


class _Fetcher:
    """Fetches a read's files in its order, as many at once as there is room
    for, and puts their bytes (or their failures) into the core, on a thread
    of its own."""

    def __init__(self, source: Any, fs: Any, files: List[Tuple[bytes, str]], width: int, request: Any) -> None:
        self.source = source
        self.fs = fs
        self.files = files
        self.width = width
        self.request = request  # a weak reference: the read ends with its request

    def start(self) -> None:
        import threading

        threading.Thread(target=self.run, name="zentrail-fetch", daemon=True).start()

    def run(self) -> None:
        from concurrent.futures import ThreadPoolExecutor

        with ThreadPoolExecutor(self.width, thread_name_prefix="zentrail-fetch") as pool:
            for name, path in self.files:
                while not self.source.reserve(0.2):
                    if self.source.closed or self.request() is None:
                        self.source.close()
                        return
                pool.submit(self._fetch, name, path)

    def _fetch(self, name: bytes, path: str) -> None:
        got = -1  # bytes read; -1 until the file is open
        try:
            with self.fs.open(path, "rb") as file:
                got = 0
                while True:
                    # Piece by piece into the core: this process holds one
                    # piece of a file, never a second copy of all of it.
                    piece = file.read(_CHUNK)
                    if not piece:
                        break
                    self.source.append(name, piece)
                    got += len(piece)
        except Exception as error:  # any failure of any file system: the read reports it for this file
            self.source.fail(name, _errno_of(error), got)
            return
        self.source.complete(name)


def _errno_of(error: BaseException) -> int:
    import errno

    if isinstance(error, OSError) and error.errno:
        return int(error.errno)
    if isinstance(error, FileNotFoundError):
        return errno.ENOENT
    if isinstance(error, PermissionError):
        return errno.EACCES
    return errno.EIO
