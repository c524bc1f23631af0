"""The [MS-RDPESC] I/O control codes for the Python tests and scripts, read from the agent's one
list (src/smartcard/wire/ioctls.h), so that no script keeps a copy of its own: `ioctls.transmit`
is `ioctl::transmit`."""
import os
import re

_LIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", "smartcard",
                     "wire", "ioctls.h")


def _read():
    with open(_LIST, encoding="utf-8") as header:
        text = header.read()
    block = re.search(r"namespace ioctl \{(.*?)\}  // namespace ioctl", text, re.S)
    if block is None:
        raise RuntimeError(f"no ioctl namespace in {_LIST}")
    codes = {name: int(value, 16) for name, value in
             re.findall(r"inline constexpr uint32_t (\w+) = (0x[0-9A-Fa-f]{8});", block.group(1))}
    if len(codes) < 40:
        raise RuntimeError(f"only {len(codes)} codes read from {_LIST}")
    return codes


CODES = _read()
globals().update(CODES)
