"""Code that fails at run time, which mypy --strict must reject: each line marked as rejected."""
from __future__ import annotations

from Vostrel import FilteredIndex  # rejected: views are results only
from Vostrel import Index, Indexable, PyQueryExpr as Q


class Book(Indexable):
    title: str


books = Index[Book]()


def str_as_values() -> None:
    Q.in_("title", "Dune")  # rejected: a str is one value, not a list of values


def not_a_record() -> None:
    books.add_object(Q.eq("a", 1))  # rejected: not a record


def results_are_records() -> None:
    wrong: list[int] = books.collect()  # rejected: the results are Books
    print(wrong)


def keyword_only() -> None:
    books.sorted_by("title", True)  # rejected: reverse is keyword-only


def other_records() -> None:
    books.union_with(Index[Indexable]())  # rejected: another record type
