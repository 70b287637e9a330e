"""tarvikd, the print service: any program, in any language and on any
machine of the shop, prints through it over HTTP. Each job is kept in a
journal before it is answered, printed at most once, and its outcome kept.
Run it as ``python3 -m tarvikd``; see tarvikd(8)."""
