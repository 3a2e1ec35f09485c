"""Reference cycles through records, indexes, views, iterators and expressions are collected."""
import gc
import weakref

import pytest

from Vostrel import Index, Indexable, PyQueryExpr as Q


class Record(Indexable):
    pass


class Holder:
    """A plain value that can refer back to its record."""


def self_reference():
    r = Record(n=1)
    r.me = r
    return r


def parent_and_child():
    parent, child = Record(n=1), Record(n=2)
    parent.child, child.parent = child, parent
    return parent


def record_holds_its_index():
    r = Record(n=1)
    idx = Index()
    idx.add_object(r)
    r.home = idx
    return r


def record_holds_a_view():
    r = Record(n=1, k="a")
    idx = Index()
    idx.add_object(r)
    r.view = idx.reduced(k="a")
    return r


def record_holds_an_iterator():
    r = Record(n=1)
    idx = Index()
    idx.add_object(r)
    r.walk = iter(idx)
    return r


def value_holds_its_record():
    r = Record(n=1)
    v = Holder()
    v.record = r
    r.value = v
    idx = Index()
    idx.add_object(r)
    v.index = idx
    return r


def records_through_their_indexes():
    a, b = Record(n=1), Record(n=2)
    ia, ib = Index(), Index()
    ia.add_object(a)
    ib.add_object(b)
    a.other, b.other = ib, ia
    return a


def expression_holds_its_record():
    r = Record(n=1)
    v = Holder()
    v.record = r
    r.query = Q.and_(Q.eq("n", v), Q.in_("k", [v]))
    return r


def rebased_index_holds_itself():
    r = Record(n=1)
    idx = Index()
    idx.add_object(r)
    rebased = idx.reduced_query(Q.and_()).rebase()
    r.rebased = rebased
    return r


CYCLES = [self_reference, parent_and_child, record_holds_its_index, record_holds_a_view, record_holds_an_iterator,
          value_holds_its_record, records_through_their_indexes, expression_holds_its_record,
          rebased_index_holds_itself]


@pytest.mark.parametrize("make", CYCLES, ids=lambda f: f.__name__)
def test_cycles_are_collected(make):
    gc.collect()
    refs = [weakref.ref(make()) for _ in range(20)]
    gc.collect()
    assert all(r() is None for r in refs)


def test_a_cycle_still_referred_to_from_outside_stays_whole():
    r = record_holds_its_index()
    keep = weakref.ref(r)
    gc.collect()
    assert keep() is r and r.home.collect() == [r]
    r.n = 5
    assert r.home.get_by_attribute(n=5) == [r]
