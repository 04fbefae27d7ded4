"""Attribute reads of the snapshot views under changes that a cache or a direct dict read could get wrong."""

import collections
import subprocess
import sys
import textwrap

import pytest

from velkor.ledgerlet import LiveObject, Order

SET_VALUES = LiveObject._values.__set__


def run_isolated(source):
    """Runs `source` in a fresh interpreter: a use after free may crash it."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    return done.stdout.split()


FINALISER = """
    import gc
    from velkor.ledgerlet import Order

    class Base(Order):
        __slots__ = ()

    seen = []

    class Probe:
        def __del__(self):
            seen.append(view.shadowed)

    Kind = {kind}
    view = Kind(shadowed="own")
    {owner}.shadowed = [Probe()]
    for _ in range(3):
        assert isinstance(view.shadowed, list)
    {change}
    gc.collect()
    garbage = [[i] for i in range(1000)]
    print(*seen, view.shadowed)
"""


@pytest.mark.parametrize("kind, owner", [("Order", "Order"), ("type('Sub', (Base,), {'__slots__': ()})", "Base")])
@pytest.mark.parametrize("change, expected", [("{owner}.shadowed = 'new'", ["new", "new"]),
                                              ("del {owner}.shadowed", ["own", "own"])])
def test_class_attribute_replaced_while_its_old_value_reads_it_back(kind, owner, change, expected):
    # The old value is freed inside the assignment, before the type is marked changed: a read from its
    # finaliser must see the type as it is now, never the value being freed.
    source = FINALISER.format(kind=kind, owner=owner, change=change.format(owner=owner))
    assert run_isolated(source) == expected


class Free(Order):  # no __slots__: instances get a __dict__
    pass


@pytest.mark.parametrize("name, expected", [("x", 1), ("status", "inst"), ("order_id", "own"), ("fields", Order.fields)])
def test_instance_dict_of_a_subclass_takes_part_in_lookup(name, expected):
    view = Free(order_id="own", status="values")
    vars(view).update(x=1, status="inst")
    for _ in range(3):
        assert getattr(view, name) == expected
    with pytest.raises(AttributeError) as info:
        view.missing
    assert info.value.args == ("missing",)


class Shadow(dict):
    def __getitem__(self, key):
        return "shadow:" + key


class Defaulting(dict):
    def __missing__(self, key):
        return "missing:" + key


@pytest.mark.parametrize("values, expected", [
    (Shadow(status="plain"), "shadow:status"),
    (Defaulting(), "missing:status"),
    (collections.ChainMap({}, {"status": "chained"}), "chained"),
])
def test_replaced_values_are_read_through_their_own_lookup_after_warm_reads(values, expected):
    view = Order(status="ALIVE")
    for _ in range(3):
        assert view.status == "ALIVE"
    SET_VALUES(view, values)
    assert view.status == expected
    SET_VALUES(view, 5)
    with pytest.raises(TypeError):
        view.status


class Text(str):
    pass


class Sneaky(str):
    """Equal to the field name it spells; its comparison empties the view's values while a read looks."""

    view = None

    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        if Sneaky.view is not None:
            view, Sneaky.view = Sneaky.view, None
            view._values.clear()
            LiveObject._values.__delete__(view)
        return str.__eq__(self, other)


def test_str_subclass_names_and_keys():
    view = Order(**{Text("extra"): 1}, status="ALIVE")
    assert (view.extra, getattr(view, Text("status")), getattr(view, Text("extra"))) == (1, "ALIVE", 1)
    assert [type(k) for k in view._values][-1] is Text


def test_values_changed_by_a_key_comparison_during_a_read():
    view = Order(status="ALIVE")
    for _ in range(3):
        assert view.status == "ALIVE"
    values = {Sneaky("order_id"): "x", Sneaky("status"): "ALIVE"}
    SET_VALUES(view, values)
    Sneaky.view = view
    name = "".join(["sta", "tus"])  # not the interned name: compared by equality
    result = getattr(view, name, "gone")
    assert result in ("ALIVE", "gone")
    with pytest.raises(AttributeError):
        view.status
