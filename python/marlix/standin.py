"""`python -m marlix.standin`: the stand-in model server (see marlix.serve.standin)."""

from marlix.serve.standin import main

if __name__ == "__main__":
    raise SystemExit(main())
