"""A small typed use of Vostrel, checked by mypy against the module's stubs."""
from __future__ import annotations

from Vostrel import Index, Indexable, PyQueryExpr as Q


class Song(Indexable):
    title: str
    length: int
    genre: str


def long_songs(library: Index[Song], seconds: int) -> list[Song]:
    view = library.reduced_query(Q.and_(Q.gt("length", seconds), Q.ne("genre", "jingle")))
    return view.collect()


def main() -> None:
    library = Index[Song]()
    library.add_object_many([Song(title="a", length=200, genre="rock"), Song(title="b", length=20, genre="jingle")])
    shelf: Index[Song] = library.reduced(genre="rock").rebase()
    titles: list[str] = [song.title for song in long_songs(shelf, 60)]
    shortest: list[Song] = library.sorted_by("length", limit=1)
    counts: dict[object, int] = library.value_counts("genre")
    print(titles, shortest, counts, len(library), [s.title for s in library if s in shelf])
    library.remove_object(shortest[0])


if __name__ == "__main__":
    main()
