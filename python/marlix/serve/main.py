"""From the command line's arguments to a running host."""

from __future__ import annotations

import argparse
import dataclasses

from marlix.errors import InputError
from marlix.nvml import all_gpu_total_bytes
from marlix.serve import app
from marlix.serve.config import Config, load_config, parse_listen
from marlix.serve.demo import demo_config


def run(args: argparse.Namespace) -> int:
    config = demo_config() if args.demo else load_config(args.config, programs=not args.roster)
    if args.listen is not None:
        address = parse_listen(args.listen)
        if address is None:
            raise InputError(f"--listen: {args.listen!r} is not HOST:PORT")
        server = dataclasses.replace(config.server, host=address[0], port=address[1])
        config = dataclasses.replace(config, server=server)
    if args.roster:
        print(config.roster_json())
        return 0
    sizes = card_sizes(config)
    if args.events is not None:
        try:
            open(args.events, "a", encoding="utf-8").close()
        except OSError as error:
            raise InputError(f"--events: {args.events}: {error.strerror}") from None
    options = app.Options(
        events_path=args.events,
        json_log=args.log_format == "json",
        access_log=args.access_log,
    )
    return app.run(config, sizes, options)


def card_sizes(config: Config) -> list[int]:
    if config.card.auto:
        return all_gpu_total_bytes('card.size = "auto"')
    return list(config.card.sizes)
