"""Vostrel on a generated catalogue: building, every query kind, live updates and views.

Each query is timed beside the plain-Python scan that answers it, and both answers are checked to
be the same objects. Run with --n to change the catalogue size (default one million records).
"""
from __future__ import annotations

import argparse
import random
import sys
import time
from collections.abc import Callable

import Vostrel
from Vostrel import Index, Indexable, PyQueryExpr as Q

GENRES = ["fiction", "poetry", "history", "science", "travel", "cookery", "art", "children"]
LANGUAGES = ["en", "de", "fr", "cs", "es", "it", "pl", "nl"]


class Book(Indexable):
    """One catalogue record."""


def make_catalogue(n: int, seed: int = 7) -> list[Book]:
    rng = random.Random(seed)
    books = []
    for i in range(n):
        books.append(
            Book(
                isbn=f"978-{i:09d}",
                genre=GENRES[rng.randrange(len(GENRES))],
                language=LANGUAGES[min(int(rng.expovariate(0.8)), len(LANGUAGES) - 1)],
                year=rng.randrange(1900, 2026),
                pages=rng.randrange(40, 1200),
                price=round(rng.uniform(2.0, 80.0), 2),
                in_print=rng.random() < 0.7,
            )
        )
    return books


def progress(done: int, total: int, started: float) -> None:
    width = 40
    filled = width * done // total
    rate = done / max(time.perf_counter() - started, 1e-9)
    sys.stderr.write(f"\r  indexing [{'#' * filled}{'.' * (width - filled)}] {done:,}/{total:,} ({rate:,.0f}/s)")
    if done == total:
        sys.stderr.write("\n")
    sys.stderr.flush()


def timed(fn: Callable[[], list]) -> tuple[list, float]:
    start = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - start


def compare(label: str, indexed: Callable[[], list], scan: Callable[[], list]) -> None:
    got, t_index = timed(indexed)
    want, t_scan = timed(scan)
    assert {id(b) for b in got} == {id(b) for b in want}, label
    speedup = t_scan / t_index if t_index > 0 else float("inf")
    print(f"  {label:<44} {len(got):>9,} hits  {t_index * 1e3:8.2f} ms  scan {t_scan * 1e3:8.1f} ms  x{speedup:,.0f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=1_000_000, help="number of records")
    args = parser.parse_args()
    n = args.n

    print(f"Vostrel demo: a catalogue of {n:,} books")
    start = time.perf_counter()
    books = make_catalogue(n)
    print(f"  generated the records in {time.perf_counter() - start:.2f} s")

    index = Index()
    start = time.perf_counter()
    chunk = max(n // 50, 1)
    for i in range(0, n, chunk):
        index.add_object_many(books[i : i + chunk])
        progress(min(i + chunk, n), n, start)
    print(f"  built the index in {time.perf_counter() - start:.2f} s")

    print("\nQueries (indexed vs plain-Python scan):")
    compare("genre == 'poetry'", lambda: index.get_by_attribute(genre="poetry"),
            lambda: [b for b in books if b.genre == "poetry"])
    compare("language in (cs, pl) and genre == travel",
            lambda: index.get_by_attribute(language=["cs", "pl"], genre="travel"),
            lambda: [b for b in books if b.language in ("cs", "pl") and b.genre == "travel"])
    compare("year == 1950", lambda: index.reduced_query(Q.eq("year", 1950)).collect(),
            lambda: [b for b in books if b.year == 1950])
    compare("year != 1950 (among poetry)",
            lambda: index.reduced_query(Q.and_(Q.eq("genre", "poetry"), Q.ne("year", 1950))).collect(),
            lambda: [b for b in books if b.genre == "poetry" and b.year != 1950])
    compare("price > 79.5", lambda: index.reduced_query(Q.gt("price", 79.5)).collect(),
            lambda: [b for b in books if b.price > 79.5])
    compare("pages >= 1190", lambda: index.reduced_query(Q.ge("pages", 1190)).collect(),
            lambda: [b for b in books if b.pages >= 1190])
    compare("year < 1901", lambda: index.reduced_query(Q.lt("year", 1901)).collect(),
            lambda: [b for b in books if b.year < 1901])
    compare("price <= 2.05", lambda: index.reduced_query(Q.le("price", 2.05)).collect(),
            lambda: [b for b in books if b.price <= 2.05])
    compare("1990 <= year <= 1999 and genre == art",
            lambda: index.reduced_query(Q.and_(Q.bt("year", 1990, 1999), Q.eq("genre", "art"))).collect(),
            lambda: [b for b in books if 1990 <= b.year <= 1999 and b.genre == "art"])
    compare("language in (it, nl) and pages < 50",
            lambda: index.reduced_query(Q.and_(Q.in_("language", ["it", "nl"]), Q.lt("pages", 50))).collect(),
            lambda: [b for b in books if b.language in ("it", "nl") and b.pages < 50])
    compare("genre == cookery or year == 2000",
            lambda: index.reduced_query(Q.or_(Q.eq("genre", "cookery"), Q.eq("year", 2000))).collect(),
            lambda: [b for b in books if b.genre == "cookery" or b.year == 2000])
    compare("not (in print or language == en)",
            lambda: index.reduced_query(Q.not_(Q.or_(Q.eq("in_print", True), Q.eq("language", "en")))).collect(),
            lambda: [b for b in books if not (b.in_print or b.language == "en")])

    print("\nViews:")
    view = index.reduced(genre="science")
    narrower = view.reduced(language="cs")
    compare("view genre=science, then language=cs", narrower.collect,
            lambda: [b for b in books if b.genre == "science" and b.language == "cs"])
    start = time.perf_counter()
    shelf = narrower.rebase()
    print(f"  rebased that view into its own index in {(time.perf_counter() - start) * 1e3:.1f} ms")
    compare("rebased index: pages > 1000",
            lambda: shelf.reduced_query(Q.gt("pages", 1000)).collect(),
            lambda: [b for b in books if b.genre == "science" and b.language == "cs" and b.pages > 1000])

    print("\nLive updates:")
    book = shelf.collect()[0] if shelf.collect() else books[0]
    print(f"  {book.isbn}: genre={book.genre!r} year={book.year}")
    start = time.perf_counter()
    book.genre = "history"
    book.year = 1066
    print(f"  assigned genre='history', year=1066 in {(time.perf_counter() - start) * 1e6:.0f} µs;"
          " every index holding the book is updated")
    assert book in index.get_by_attribute(genre="history", year=1066)
    assert book in shelf.reduced_query(Q.eq("year", 1066)).collect()
    assert book not in index.get_by_attribute(genre="science")
    print("  found by the new values in the catalogue index and in the rebased index, gone from the old ones")

    rng = random.Random(1)
    sample = rng.sample(books, min(100_000, n))
    start = time.perf_counter()
    for b in sample:
        b.pages = b.pages + 1
    elapsed = time.perf_counter() - start
    print(f"  {len(sample):,} assignments to an indexed number in {elapsed:.2f} s "
          f"({elapsed / len(sample) * 1e6:.2f} µs each)")
    compare("pages > 1190 after the updates", lambda: index.reduced_query(Q.gt("pages", 1190)).collect(),
            lambda: [b for b in books if b.pages > 1190])
    print(f"\nDone (Vostrel exports {', '.join(Vostrel.__all__)}).")


if __name__ == "__main__":
    main()
