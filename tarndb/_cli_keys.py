"""Keys as the command line prints and reads them, losslessly both ways.

Keys are bytes. In the default text form a key is printed as it is when it
is non-empty UTF-8 text of printable characters that does not begin with a
double quote; any other key is printed quoted: as a JSON string whose
control and other unprintable characters are ``\\uXXXX`` escapes, and
whose bytes that are not UTF-8 are ``\\udc80``..``\\udcff`` (the byte
0xXX as ``\\udcXX``, the escape Python's ``surrogateescape`` uses; no UTF-8
text holds those code points). A key argument, ``--prefix`` or line of
``get --stdin`` that is such a JSON string (it begins with a double quote
and is well formed) is read as the key it quotes; anything else is taken as
the bytes it is (``"quoted`` is the key of those bytes). With ``--hex-keys`` or
``--base64-keys`` every key, printed or read, is its bytes in that
encoding instead.

Readers give keys as text, with U+FFFD in place of bytes that are not
UTF-8; such a key's bytes are recovered with prefix scans of the store
(``KeyBytes``), only for keys whose text holds U+FFFD.
"""

from __future__ import annotations

import base64
import binascii
import codecs
import json
from typing import Any, Callable, Dict, Iterator, List

from tarndb._cli_output import EXIT_USAGE, Failure
from tarndb._key_bytes import REPLACEMENT

TEXT, HEX, BASE64 = "text", "hex", "base64"

def quoted(text: str) -> str:
    """*text* (bytes that are not UTF-8 as lone surrogates) as a JSON string
    of printable characters."""
    dumped = json.dumps(text, ensure_ascii=False)
    if dumped.isprintable():  # most keys: nothing more to escape
        return dumped
    out = []
    for c in dumped:
        if c.isprintable():
            out.append(c)
        elif ord(c) > 0xFFFF:  # a surrogate pair, as JSON writes one
            c = c.encode("utf-16-be").hex()
            out.append(f"\\u{c[:4]}\\u{c[4:]}")
        else:
            out.append(f"\\u{ord(c):04x}")
    return "".join(out)


def _is_plain(text: str) -> bool:
    return text.isprintable() and text != "" and not text.startswith('"')


def key_line(key: bytes, style: str) -> str:
    """One key as a line of output (without its end), in *style*. The text
    returned holds lone surrogates for bytes that are not UTF-8, which
    standard output writes back as those bytes (surrogateescape)."""
    if style == HEX:
        return key.hex()
    if style == BASE64:
        return base64.b64encode(key).decode("ascii")
    text = key.decode("utf-8", "surrogateescape")
    return text if _is_plain(text) else quoted(text)


def key_json(key: bytes, style: str) -> str:
    """A key as a JSON string (``dump``'s "key" field): its text, quoted as
    above, or its hexadecimal or base64 encoding."""
    if style == TEXT:
        return quoted(key.decode("utf-8", "surrogateescape"))
    return '"' + key_line(key, style) + '"'


def key_nul_ended(key: bytes) -> str:
    """A key for ``-0`` output: its bytes as they are, but a key that holds
    a NUL byte or begins with a double quote quoted, so that every key reads
    back as itself."""
    text = key.decode("utf-8", "surrogateescape")
    return quoted(text) if "\0" in text or text.startswith('"') else text


def parse_key(given: bytes, style: str, what: str) -> bytes:
    """The key bytes that *given* (an argument or input line) stands for in
    *style*; a failure naming *what* when it is not well formed."""
    try:
        if style == HEX:
            return bytes.fromhex(given.decode("ascii"))
        if style == BASE64:
            return base64.b64decode(given, validate=True)
        return _unquoted(given) if given.startswith(b'"') else given
    except (ValueError, binascii.Error) as exc:
        shown = given.decode("utf-8", "replace")
        hint = "not hexadecimal" if style == HEX else "not base64"
        raise Failure(f"{what} {shown!r}: {hint} ({exc})", EXIT_USAGE) from None


def _unquoted(given: bytes) -> bytes:
    """The key that *given* quotes when it is a JSON string of a key, else
    *given* itself: a key that merely begins with a double quote."""
    try:
        text = json.loads(given.decode("utf-8", "surrogateescape"), strict=False)
        if isinstance(text, str):
            return text.encode("utf-8", "surrogateescape")
    except (ValueError, UnicodeError):
        pass
    return given


class KeyBytes:
    """The stored bytes of the keys a reader lists, in the order it lists them
    (byte order), only keys starting with *prefix*.

    A key whose text holds no U+FFFD is its UTF-8. One that does may stand
    for several stored keys (each run of bytes that is not UTF-8 reads as
    U+FFFD), and its bytes begin with the UTF-8 of the text before its first
    U+FFFD. The keys under that clear prefix are found once, in byte order,
    by walking their bytes with prefix scans (``keys_under``), and those
    whose text holds U+FFFD are handed out in turn as the listing meets
    them. Each range is walked once: the listing moves forward, so a walk
    keeps only keys beyond those an earlier walk found."""

    def __init__(self, raw: Any, prefix: bytes = b"") -> None:
        self._raw = raw
        self._prefix = prefix
        self._pending: Dict[str, List[bytes]] = {}
        self._high = b""  # the last key an earlier walk found

    def __call__(self, text: str) -> bytes:
        if REPLACEMENT not in text:
            return text.encode()
        found = self._pending.get(text)
        if not found:
            clear = text[:text.index(REPLACEMENT)].encode()
            for key in keys_under(self._raw, max(clear, self._prefix, key=len)):
                if key > self._high:
                    self._high = key
                    shown = key.decode("utf-8", "replace")
                    if REPLACEMENT in shown:
                        self._pending.setdefault(shown, []).append(key)
            found = self._pending[text]
        key = found.pop(0)
        if not found:
            del self._pending[text]
        return key


def _has_prefix(raw: Any, prefix: bytes) -> bool:
    return next(iter(raw.prefix(prefix)), None) is not None


def keys_under(raw: Any, prefix: bytes) -> Iterator[bytes]:
    """Every stored key starting with *prefix*, in byte order, found with
    prefix scans: up to 256 at each byte where keys branch, and, below the
    point where one key is left, one for each byte its text tells and up to
    256 for each byte it does not (where it reads U+FFFD)."""
    stack = [prefix]
    while stack:
        at = stack.pop()
        found = iter(raw.prefix(at))
        first = next(found, None)
        if first is None:
            continue
        if next(found, None) is None:  # one key left below
            yield _only_key(raw, at, first[0])
            continue
        if at in raw:
            yield at
        children = (at + bytes([b]) for b in range(255, -1, -1))
        stack.extend(child for child in children if _has_prefix(raw, child))


def _only_key(raw: Any, at: bytes, text: str) -> bytes:
    """The bytes of the one stored key that starts with *at*, whose text is *text*."""
    while at not in raw:
        decoder = codecs.getincrementaldecoder("utf-8")("replace")
        settled = decoder.decode(at, final=False)
        pending = decoder.getstate()[0]
        following = text[len(settled):len(settled) + 1]
        if not pending and following and following != REPLACEMENT:
            at += following.encode()  # a character as it is stored
            continue
        start = 0 if pending else 0x80  # U+FFFD starts at 0x80 or above
        at = next(at + bytes([b]) for b in range(start, 256) if _has_prefix(raw, at + bytes([b])))
    return at


def line_formatter(raw: Any, prefix: bytes, style: str, nul: bool) -> Callable[[str], str]:
    """A function from a listed key's text to its output line (without its end)."""
    key_bytes = KeyBytes(raw, prefix)
    if nul and style == TEXT:
        return lambda text: key_nul_ended(key_bytes(text))
    if style == TEXT:
        # Most keys are plain text: print them without a round trip through bytes.
        def line(text: str) -> str:
            if REPLACEMENT in text:
                return key_line(key_bytes(text), TEXT)
            return text if _is_plain(text) else quoted(text)
        return line
    return lambda text: key_line(key_bytes(text), style)
