"""The argument rules the helper refuses by, checked in the client so that a caller's mistake is named
before any process starts."""

from __future__ import annotations

MAX_PATH_BYTES = 4096
MAX_COMPONENT_BYTES = 255


def _refused_character(c: int) -> str | None:
    if c <= 0x1F or 0x7F <= c <= 0x9F:
        return "a control character"
    if c == 0x5C:
        return "a backslash"
    if 0x200B <= c <= 0x200F or 0x202A <= c <= 0x202E or 0x2060 <= c <= 0x206F or c == 0xFEFF:
        return f"a zero-width or direction-changing character (U+{c:04X})"
    return None


def path_refusal(text: str) -> str | None:
    """The path rule ``text`` breaks as a path relative to the root, or None when the helper accepts its form."""
    if not text:
        return "empty: a path names an entry below the root"
    if text.startswith("/"):
        return "absolute: paths are relative to the root"
    if text.endswith("/"):
        return "a trailing /"
    try:
        encoded = text.encode("utf-8")
    except UnicodeEncodeError:
        return "not well-formed UTF-8"
    if len(encoded) > MAX_PATH_BYTES:
        return f"longer than {MAX_PATH_BYTES} bytes"
    for component in text.split("/"):
        if component == "":
            return "an empty component (//)"
        if component in (".", ".."):
            return f"a {component} component: paths may not leave or name the directory they are in"
        if len(component.encode("utf-8")) > MAX_COMPONENT_BYTES:
            return f"a component over {MAX_COMPONENT_BYTES} bytes"
    for character in text:
        rule = _refused_character(ord(character))
        if rule is not None:
            return rule
    return None
