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
"""

from __future__ import annotations

import base64
import binascii
import json
from typing import Callable

from tarndb._cli_output import EXIT_USAGE, Failure

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


def line_formatter(style: str, nul: bool) -> Callable[[bytes], str]:
    """A function from a listed key's bytes to its output line (without its end)."""
    if nul and style == TEXT:
        return key_nul_ended
    return lambda key: key_line(key, style)
