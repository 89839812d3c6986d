"""Seeded generator of hostile payload values for the reliability tests.

Every value is built fresh from the seed, so a failing iteration can be
replayed: `Hostile(seed).payload(keys)` gives the same payload each time.
Objects that raise do so at a point chosen by the generator (the third item,
the first conversion), which is where half-done work would show.
"""

import math
import random


class Boom(Exception):
    """Raised by the hostile objects; never raised by the code under test."""


class FloatRaises:
    def __float__(self):
        raise Boom("__float__")


class IndexRaises:
    def __index__(self):
        raise Boom("__index__")


class FloatGood:
    """Converts through __float__ like a numpy scalar would."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexGood:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class StrRaises:
    """str() of a row cell fails."""

    def __str__(self):
        raise Boom("__str__")

    __repr__ = __str__


class GetitemRaisesSeq:
    """A sequence whose items fail from `fail_at` on."""

    def __init__(self, items, fail_at):
        self.items = list(items)
        self.fail_at = fail_at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if isinstance(i, int) and i >= self.fail_at:
            raise Boom(f"__getitem__ {i}")
        return self.items[i]


class IterRaisesList(list):
    """A list whose iteration fails midway (len and indexing still work)."""

    def __init__(self, items, fail_at):
        super().__init__(items)
        self.fail_at = fail_at

    def __iter__(self):
        for i, item in enumerate(list.__iter__(self)):
            if i >= self.fail_at:
                raise Boom(f"__iter__ {i}")
            yield item


class LenLies(list):
    """A list that reports more items than it holds."""

    def __len__(self):
        return list.__len__(self) + 1000


class GetitemRaisesDict(dict):
    """A dict whose item lookup fails for some keys."""

    def __init__(self, items, bad_keys):
        super().__init__(items)
        self.bad_keys = set(bad_keys)

    def __getitem__(self, key):
        if key in self.bad_keys:
            raise Boom(f"__getitem__ {key!r}")
        return dict.__getitem__(self, key)


class IterRaisesDict(dict):
    """A dict whose key iteration fails midway."""

    def __init__(self, items, fail_at):
        super().__init__(items)
        self.fail_at = fail_at

    def __iter__(self):
        for i, key in enumerate(dict.__iter__(self)):
            if i >= self.fail_at:
                raise Boom(f"__iter__ {i}")
            yield key

    def keys(self):
        return list(self)


class MappingRaises:
    """A mapping for dict(): keys() works, the lookups fail."""

    def keys(self):
        return ["a", "b"]

    def __getitem__(self, key):
        raise Boom(f"mapping {key!r}")


TEXTS = [
    "", "a", "default", "x\x00y", "line\nbreak", "cr\rlf\r\n", "comma,cell", 'quo"te',
    "\ud800", "lone \udfff surrogate", "ünïcödé", "\u20ac", "tab\tcell", " ", "{in_table}",
    "{out_table}", "a" * 3000,
]

NUMBERS = [
    0, 1, -1, 7, 2**31 - 1, 2**31, -(2**31) - 1, 2**63 - 1, 2**63, -(2**63) - 1, 2**200, -(10**400),
    0.0, -0.0, 1.5, -2.25, 1e308, -1e308, 5e-324, math.nan, -math.nan, math.inf, -math.inf,
    True, False,
]


class Hostile:
    """Random hostile values and payloads from one seed."""

    def __init__(self, seed):
        self.seed = seed
        self.rng = random.Random(seed)
        # How many values of each kind were handed out: the figures report it.
        self.made = 0

    def choice(self, seq):
        return seq[self.rng.randrange(len(seq))]

    def number(self):
        return self.choice(NUMBERS)

    def text(self):
        return self.choice(TEXTS)

    def numbers(self, n=None):
        n = self.rng.randrange(6) if n is None else n
        return [self.number() for _ in range(n)]

    def value(self, depth=0):
        """One value of any kind; containers nest up to depth 3."""
        self.made += 1
        kinds = [
            "number", "number", "text", "none", "bytes", "bytearray", "list", "tuple", "dict",
            "generator", "set", "frozenset", "keys", "values", "items", "range", "map", "zip",
            "float_raises", "index_raises", "float_good", "index_good", "str_raises",
            "getitem_seq", "iter_list", "len_lies", "getitem_dict", "iter_dict", "mapping_raises",
            "float_list", "object",
        ]
        kind = self.choice(kinds)
        deeper = depth < 3
        if kind == "number":
            return self.number()
        if kind == "text":
            return self.text()
        if kind == "none":
            return None
        if kind == "bytes":
            return self.choice([b"", b"abc", b"\x00\xff", b"csv://x", bytes([1, 2])])
        if kind == "bytearray":
            return bytearray(self.choice([b"", b"\x01\x02", b"\xff\xfe\x00"]))
        if kind in ("list", "tuple"):
            items = [self.value(depth + 1) if deeper else self.number() for _ in range(self.rng.randrange(5))]
            return items if kind == "list" else tuple(items)
        if kind == "float_list":
            return [float(x) if not isinstance(x, int) or abs(x) < 2**60 else 0.0 for x in self.numbers()]
        if kind == "dict":
            return {self.key(): (self.value(depth + 1) if deeper else self.number())
                    for _ in range(self.rng.randrange(4))}
        if kind == "generator":
            items = self.numbers()
            fail = self.rng.random() < 0.5

            def gen():
                for i, item in enumerate(items):
                    if fail and i == 2:
                        raise Boom("generator")
                    yield item
            return gen()
        if kind == "set":
            return {x for x in self.numbers() if not (isinstance(x, float) and math.isnan(x))}
        if kind == "frozenset":
            return frozenset(self.numbers(3))
        if kind == "keys":
            return {n: 1 for n in range(self.rng.randrange(4))}.keys()
        if kind == "values":
            return {i: v for i, v in enumerate(self.numbers())}.values()
        if kind == "items":
            return {"a": 1.0, "b": 2.0}.items()
        if kind == "range":
            return range(self.rng.randrange(-3, 8))
        if kind == "map":
            return map(float, self.choice([[1, 2], ["x"], []]))
        if kind == "zip":
            return zip([1, 2], [3, 4])
        if kind == "float_raises":
            return FloatRaises()
        if kind == "index_raises":
            return IndexRaises()
        if kind == "float_good":
            return FloatGood(self.choice([1.25, math.nan, -math.inf]))
        if kind == "index_good":
            return IndexGood(self.choice([3, -4, 2**40, 2**70]))
        if kind == "str_raises":
            return StrRaises()
        if kind == "getitem_seq":
            return GetitemRaisesSeq(self.numbers(4), self.rng.randrange(4))
        if kind == "iter_list":
            return IterRaisesList(self.numbers(4), self.rng.randrange(4))
        if kind == "len_lies":
            return LenLies(self.numbers(2))
        if kind == "getitem_dict":
            items = {"mean": 1.0, "se": 0.5, "x": self.number()}
            return GetitemRaisesDict(items, [self.choice(list(items))])
        if kind == "iter_dict":
            return IterRaisesDict({"mean": 1.0, "se": 0.5, "n": 3}, self.rng.randrange(3))
        if kind == "mapping_raises":
            return MappingRaises()
        return object()

    def key(self):
        """A dict key: mostly text, sometimes not (rows with odd keys)."""
        r = self.rng.random()
        if r < 0.8:
            return self.text()
        return self.choice([1, b"bk", 2.5, None, (1, 2)])

    def payload(self, plausible, hostile=0.35, missing=0.2):
        """A payload from `plausible` (key -> list of ordinary values): each key
        is left out (with probability `missing`), given a hostile value (with
        probability `hostile`) or an ordinary one."""
        payload = {}
        for key, choices in plausible.items():
            r = self.rng.random()
            if r < missing:
                continue
            payload[key] = self.value() if r < missing + hostile else self.choice(choices)
        if self.rng.random() < 0.1:
            # Keys nobody reads must be carried along untouched.
            payload[self.text()] = self.value()
        if self.rng.random() < hostile / 2:
            payload = GetitemRaisesDict(payload, [self.choice(list(payload) or ["none"])])
        return payload


def snapshot(payload):
    """Keys in order with their values (held, so compared by identity): what
    a failed call must leave as it found."""
    return list(dict.items(payload))


def unchanged(payload, snap):
    items = list(dict.items(payload))
    return len(items) == len(snap) and all(
        k1 is k2 or k1 == k2 for (k1, _), (k2, _) in zip(items, snap)) and all(
        v1 is v2 for (_, v1), (_, v2) in zip(items, snap))


def is_float_list(value):
    return type(value) is list and all(type(x) is float for x in value)
