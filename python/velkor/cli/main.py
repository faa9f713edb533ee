"""The `velkor` command: convert, batch, preview, presets and the editor."""

from __future__ import annotations

import argparse
import enum
import functools
import os
import signal
import sys
import threading
import warnings
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn, TextIO

from velkor._version import __version__
from velkor.cli.options import (
    UsageError,
    add_output_options,
    add_recipe_options,
    export_options,
    pipeline_from_options,
    pixels,
)
from velkor.cli.terminal import printable
from velkor.errors import (
    ClusterError,
    ColourProfileWarning,
    InputNotFoundError,
    InputWarning,
    MissingExtraError,
    NoWorkersError,
    OutputExistsError,
    OutputWriteError,
    RecipeError,
    SchedulerLostError,
    UnreadableImageError,
    UnsupportedFormatError,
)
from velkor.extras import import_extra
from velkor.io.regular_file import require_regular_file
from velkor.model.bands import processors

# NumPy, the codecs and the pipeline take longer to import than --help takes
# to answer: each sub-command imports what it uses when it runs.
if TYPE_CHECKING:
    from velkor.model.pipeline import Pipeline


class ExitCode(enum.IntEnum):
    """Exit statuses, for scripts."""

    OK = 0
    SOME_FAILED = 1  # batch: finished, but at least one file could not be converted
    USAGE = 2  # unknown option, missing or malformed argument
    BAD_RECIPE = 3  # recipe file, preset or value that cannot be used
    NO_INPUT = 4  # input file, folder or recipe file does not exist
    BAD_INPUT = 5  # unsupported format or unreadable file
    OUTPUT_EXISTS = 6  # refused to overwrite (use --overwrite)
    CANNOT_WRITE = 7  # output could not be written
    MISSING_EXTRA = 8  # the feature needs an optional part: pip install 'velkor[EXTRA]'
    NO_SCHEDULER = 9  # --scheduler: the Dask scheduler cannot be reached within --cluster-wait
    NO_WORKERS = 10  # --scheduler: no worker joined within --cluster-wait
    SCHEDULER_LOST = 11  # the Dask scheduler went away mid-batch; a rerun finishes the rest


_EPILOG = "exit status: " + ", ".join(f"{code.value} {code.name.lower().replace('_', ' ')}" for code in ExitCode)


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line, like all of velkor's."""

    def error(self, message: str) -> NoReturn:
        self.exit(ExitCode.USAGE, printable(f"velkor: error: {message} (see '{self.prog} --help')") + "\n")


class _Terminated(BaseException):
    """SIGTERM, raised where the program is, so that writes clean up as for Ctrl-C."""


def _terminate(signum: int, frame: object) -> None:
    raise _Terminated


_BATCH_SUFFIXES = {"png": ".png", "tiff": ".tif", "jpeg": ".jpg"}
_BATCH_FORMATS = {"png": "PNG", "tiff": "TIFF", "jpeg": "JPEG"}


def _size(text: str) -> int:
    from velkor.run.memory import parse_size

    try:
        return parse_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    except OverflowError:  # hundreds of digits: past any float
        raise argparse.ArgumentTypeError(f"invalid size {text[:20]!r}... (too large)") from None


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0 < value < 1e9:
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, not {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="velkor", description="Black-and-white conversion of photographs.",
                     epilog=_EPILOG)
    parser.add_argument("--version", action="version", version=f"velkor {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=_Parser)

    convert = commands.add_parser("convert", help="convert one photograph",
                                  description="Convert one photograph (the bundled sample if none is given).",
                                  epilog=_EPILOG)
    convert.add_argument("input", nargs="?", type=Path, metavar="IN", help="JPEG, PNG, WebP, HEIF, TIFF or RAW file")
    convert.add_argument("-o", "--output", type=Path, metavar="OUT",
                         help="PNG, TIFF or JPEG to write, or a folder (default: IN's name with _bw.png, here)")
    convert.add_argument("--save-recipe", type=Path, metavar="FILE", help="also write the recipe used as TOML")
    convert.add_argument("--overwrite", action="store_true", help="replace existing output files")
    convert.add_argument("--tiled", action="store_true",
                         help="convert a TIFF tile by tile into a tiled TIFF, for images larger than memory")
    convert.add_argument("--memory-limit", type=_size, metavar="SIZE",
                         help="convert tile by tile when converting whole would need more, and keep the "
                              "tiles within it (e.g. 8G; default: a quarter of the memory)")
    spread = convert.add_mutually_exclusive_group()
    spread.add_argument("--workers", type=functools.partial(pixels, unit="processes"), metavar="N",
                        help="convert tile by tile on a local Dask cluster of N worker processes")
    spread.add_argument("--scheduler", metavar="ADDRESS",
                        help="convert tile by tile on the Dask cluster whose scheduler is at ADDRESS")
    add_recipe_options(convert)
    add_output_options(convert)
    convert.set_defaults(handler=_convert)

    batch = commands.add_parser("batch", help="convert every photograph in a folder",
                                description="Convert every JPEG, PNG, WebP, HEIF, TIFF and RAW file in a folder.",
                                epilog=_EPILOG)
    batch.add_argument("directory", type=Path, metavar="DIR")
    batch.add_argument("-o", "--output", type=Path, metavar="OUTDIR", required=True)
    batch.add_argument("--format", choices=tuple(_BATCH_SUFFIXES), default="png", help="output format")
    batch.add_argument("--overwrite", action="store_true", help="replace existing output files")
    batch.add_argument("--quiet", action="store_true", help="no progress bar")
    processes = functools.partial(pixels, unit="processes")
    batch.add_argument("-j", "--jobs", type=processes, default=processors(), metavar="N",
                       help="worker processes, sharing the processors (default: the number of processors)")
    batch.add_argument("--memory-limit", type=_size, metavar="SIZE",
                       help="memory for the whole batch: a TIFF that would need more than its share is "
                            "converted tile by tile, another kind refused (default: a quarter of the memory)")
    cluster = batch.add_mutually_exclusive_group()
    cluster.add_argument("--workers", type=processes, metavar="N",
                         help="run on a local Dask cluster of N worker processes")
    cluster.add_argument("--scheduler", metavar="ADDRESS",
                         help="run on the Dask cluster whose scheduler is at ADDRESS (e.g. tcp://host:8786)")
    batch.add_argument("--cluster-wait", type=_seconds, default=30.0, metavar="SECONDS",
                       help="give up when the scheduler cannot be reached, or has no worker, "
                            "for this long (default: 30)")
    batch.add_argument("-r", "--recursive", action="store_true",
                       help="also convert the photographs in subfolders, into the same subfolders of OUTDIR")
    batch.add_argument("--log", type=Path, metavar="FILE",
                       help="append a JSON line for each file: input, output, status, seconds, message")
    batch.add_argument("--timeout", type=_seconds, metavar="SECONDS",
                       help="fail a file that takes longer than this (one that takes far longer "
                            "than the others is reported in any case)")
    add_recipe_options(batch)
    add_output_options(batch)
    batch.set_defaults(handler=_batch)

    preview = commands.add_parser("preview", help="before/after image and tone-curve plot",
                                  description="Write a side-by-side before/after image and a plot "
                                  "of the recipe's zone tone curve.", epilog=_EPILOG)
    preview.add_argument("input", nargs="?", type=Path, metavar="IN")
    preview.add_argument("-o", "--output", type=Path, metavar="OUT",
                         help="before/after PNG or TIFF (default: IN's name with _preview.png)")
    preview.add_argument("--curve", type=Path, metavar="PLOT",
                         help="tone-curve plot (default: IN's name with _curve.png)")
    preview.add_argument("--size", type=pixels, default=480, metavar="PIXELS",
                         help="long edge of each half in pixels (default: 480)")
    preview.add_argument("--overwrite", action="store_true", help="replace existing output files")
    add_recipe_options(preview)
    preview.set_defaults(handler=_preview)

    edit = commands.add_parser("edit", help="edit a recipe in the browser, on a live print",
                               description="Serve the editor on this machine and open it in the browser "
                               "(the bundled sample if no photograph is given). Ctrl-C stops it.",
                               epilog=_EPILOG)
    edit.add_argument("input", nargs="?", type=Path, metavar="PHOTO")
    edit_recipe = edit.add_mutually_exclusive_group()
    edit_recipe.add_argument("--preset", metavar="NAME", help="start from a preset ('velkor presets' lists them)")
    edit_recipe.add_argument("--recipe", metavar="FILE", help="start from a recipe file (TOML)")
    edit.add_argument("--port", type=_port, default=0, help="port to listen on (default: 0, a free one)")
    edit.add_argument("--host", default="127.0.0.1", metavar="ADDR",
                      help="address to listen on (default: 127.0.0.1, this machine only)")
    edit.add_argument("--no-browser", action="store_true", help="only print the page's address")
    edit.set_defaults(handler=_edit)

    presets = commands.add_parser("presets", help="list the presets", epilog=_EPILOG)
    presets.set_defaults(handler=_presets)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    if argv is None and threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.default_int_handler)  # loaded: Ctrl-C is KeyboardInterrupt again
    args = build_parser().parse_args(argv)
    handler: Callable[[argparse.Namespace], ExitCode] = args.handler
    previous_term = signal.signal(signal.SIGTERM, _terminate)
    try:
        code = _run(handler, args)
        if argv is None and code in (128 + signal.SIGINT, 128 + signal.SIGTERM):
            # Stopped, and what was ours to clean is clean: what is left (a
            # Dask cluster a second Ctrl-C abandoned) ends with the process,
            # without the exit handlers that would first try to close it.
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(code)
        return code
    finally:
        # As the command (no argv given) the process ends next, its work done
        # or cleaned up: a SIGTERM or another Ctrl-C in its last moments must
        # not turn that into death by signal, which a script would read as a failure.
        signal.signal(signal.SIGTERM, signal.SIG_IGN if argv is None else previous_term)
        if argv is None and threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGINT, signal.SIG_IGN)


def _run(handler: Callable[[argparse.Namespace], ExitCode], args: argparse.Namespace) -> int:
    with warnings.catch_warnings():
        warnings.simplefilter("always", ColourProfileWarning)  # once per file, not once per run
        warnings.simplefilter("always", InputWarning)
        warnings.showwarning = _show_warning
        try:
            return int(handler(args))
        except RecipeError as error:
            return _fail(error, ExitCode.BAD_RECIPE)
        except InputNotFoundError as error:
            return _fail(error, ExitCode.NO_INPUT)
        except (UnsupportedFormatError, UnreadableImageError) as error:
            return _fail(error, ExitCode.BAD_INPUT)
        except MissingExtraError as error:
            return _fail(error, ExitCode.MISSING_EXTRA)
        except SchedulerLostError as error:
            return _fail(error, ExitCode.SCHEDULER_LOST)
        except NoWorkersError as error:
            return _fail(error, ExitCode.NO_WORKERS)
        except ClusterError as error:
            return _fail(error, ExitCode.NO_SCHEDULER)
        except OutputExistsError as error:
            hint = " (use --overwrite to replace it)" if str(error).startswith("output exists:") else ""
            return _fail(f"{error}{hint}", ExitCode.OUTPUT_EXISTS)
        except UsageError as error:
            return _fail(error, ExitCode.USAGE)
        except BrokenPipeError:  # `velkor presets | head`: the reader has what it wanted
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())  # nothing left to flush at exit
            return 128 + signal.SIGPIPE
        except OSError as error:  # OutputWriteError, or anything else the file system refuses
            return _fail(error, ExitCode.CANNOT_WRITE)
        except KeyboardInterrupt:
            return _fail("interrupted", 128 + signal.SIGINT)
        except _Terminated:
            return _fail("terminated", 128 + signal.SIGTERM)


def _fail(error: object, code: int) -> int:
    _say(f"velkor: error: {error}")
    return code


def _say(line: str, stream: TextIO | None = None) -> None:
    """Every line the command prints: file names and recipe names are not the command's to trust."""
    if "tqdm" not in sys.modules:  # no progress bar can be running: spare the import
        print(printable(line), file=stream or sys.stderr)
        return
    from tqdm import tqdm

    # tqdm.write keeps a running progress bar intact below the message.
    tqdm.write(printable(line), file=stream or sys.stderr)


def _show_warning(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                  file: TextIO | None = None, line: str | None = None) -> None:
    _say(f"velkor: warning: {message}")


def _convert(args: argparse.Namespace) -> ExitCode:
    from velkor.io.atomic import remove_leftovers, write_text
    from velkor.io.sample import sample_path
    from velkor.io.writing import output_format
    from velkor.run.export import export_print
    from velkor.run.memory import needs_tiles, physical_memory
    from velkor.run.tiled import convert_tiled

    pipeline = pipeline_from_options(args)
    source: Path = args.input or sample_path()
    require_regular_file(source, "input", UnsupportedFormatError)  # before sizing it for tiles opens it
    target: Path = args.output or Path(f"{source.stem}_bw.png")
    if target.is_dir():
        target = target / f"{source.stem}_bw.png"
    options = export_options(args, output_format(target))
    _check_outputs([target, args.save_recipe], [source, args.recipe], args.overwrite)
    for output in (target, args.save_recipe):
        if output is not None:
            _make_folder(output)
    bits: int = pipeline.bit_depth
    remove_leftovers(target.parent)  # what a killed run left, a print's worth of disk each
    memory_limit: int = args.memory_limit or physical_memory() // 4
    spread = args.workers is not None or args.scheduler is not None
    if args.tiled or spread or needs_tiles(source, memory_limit, pipeline):
        if options.long_edge or options.width or options.height:
            raise UsageError("a conversion in pieces keeps the full size: leave out --long-edge, --width and --height")
        bands: dict[str, Any] = {}
        if spread:
            from velkor.run.tiled_cluster import cluster_bands  # Dask's client: only for a cluster

            bands = {"bands": cluster_bands(workers=args.workers, address=args.scheduler)}
        convert_tiled(source, target, pipeline, overwrite=args.overwrite, memory_limit=memory_limit,
                      **options.in_pieces(), **bands)
    else:
        bits = export_print(options.read(source, memory_limit), target, pipeline, options, overwrite=args.overwrite)
    _say(f"velkor: wrote {target} ({pipeline.name}, {bits}-bit)", sys.stdout)
    if args.save_recipe is not None:
        write_text(args.save_recipe, pipeline.to_toml(), overwrite=args.overwrite)
        _say(f"velkor: wrote {args.save_recipe}", sys.stdout)
    return ExitCode.OK


def _make_folder(output: Path) -> None:
    """Make the folder of ``output`` when it is missing, as batch makes its own."""
    try:
        output.parent.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise OutputWriteError(f"cannot write {output}: {error.strerror or error}") from error


def _batch(args: argparse.Namespace) -> ExitCode:
    from velkor.run.batch import Schedule, output_paths, photographs_in, run_batch
    from velkor.run.job import Job
    from velkor.run.memory import physical_memory

    pipeline = pipeline_from_options(args)
    options = export_options(args, _BATCH_FORMATS[args.format])
    if args.workers or args.scheduler:  # before the progress bar and the output folder
        import_extra("distributed", "distributed", "running on a Dask cluster")
    directory: Path = args.directory
    if not directory.is_dir():
        raise InputNotFoundError(f"input folder not found: {directory}")
    sources, ignored = photographs_in(directory, recursive=args.recursive, leave_out=args.output)
    targets = output_paths(sources, args.output, _BATCH_SUFFIXES[args.format],
                           base=directory if args.recursive else None)
    # The batch decides file by file; the log is appended to.
    _check_outputs([*targets, args.log], [*sources, args.recipe], overwrite=True)
    args.output.mkdir(parents=True, exist_ok=True)
    # A worker without a file to convert is a process started for nothing; --workers 100000 would be thousands.
    workers = None if args.workers is None else min(args.workers, max(1, len(sources)))
    at_once = 1 if args.scheduler else workers or args.jobs  # a cluster's workers have memory of their own
    job = Job(pipeline, overwrite=args.overwrite, options=options,
              memory_limit=(args.memory_limit or physical_memory() // 4) // at_once)
    schedule = Schedule(jobs=args.jobs, workers=workers, scheduler=args.scheduler,
                        timeout=args.timeout, cluster_wait=args.cluster_wait)
    report = run_batch(sources, targets, job, schedule=schedule, progress=not args.quiet, say=_say,
                       root=args.output, log=args.log)
    report.ignored = ignored
    if report.stopped:
        _say(f"velkor: error: {report.stopped}")
    for failure in report.failures:
        _say(f"velkor: failed: {failure}")
    _say(f"velkor: {report.summary()}", sys.stdout)
    if report.stopped:
        return ExitCode.SCHEDULER_LOST
    return ExitCode.SOME_FAILED if report.failed or report.conflicts else ExitCode.OK


def _preview(args: argparse.Namespace) -> ExitCode:
    from velkor.io.reading import read_image
    from velkor.io.sample import sample_path
    from velkor.io.writing import output_format
    from velkor.run.preview import plot_zone_curve, write_preview

    pipeline = pipeline_from_options(args)
    source: Path = args.input or sample_path()
    picture: Path = args.output or Path(f"{source.stem}_preview.png")
    curve: Path = args.curve or Path(f"{source.stem}_curve.png")
    output_format(picture)
    output_format(curve)
    _check_outputs([picture, curve], [source, args.recipe], args.overwrite)
    image = read_image(source)
    write_preview(image.linear, pipeline, picture, size=args.size, overwrite=args.overwrite)
    plot_zone_curve(pipeline, curve, overwrite=args.overwrite)
    _say(f"velkor: wrote {picture} and {curve} ({pipeline.name}, {_factor(pipeline)})", sys.stdout)
    return ExitCode.OK


def _edit(args: argparse.Namespace) -> ExitCode:
    try:
        from velkor.editor.serve import serve
    except ImportError as error:
        return ExitCode(_fail(f"the editor needs its web server ({error.name} is missing): "
                              "pip install 'velkor[editor]'", ExitCode.MISSING_EXTRA))
    from velkor.io.reading import read_image
    from velkor.io.recipe_files import load_recipe
    from velkor.io.sample import sample_path
    from velkor.model.pipeline import Pipeline
    from velkor.model.presets import preset

    pipeline = preset(args.preset) if args.preset else load_recipe(args.recipe) if args.recipe else Pipeline()
    source = read_image(args.input or sample_path())
    serve(source, pipeline, Path(args.recipe) if args.recipe else None,
          host=args.host, port=args.port, open_browser=not args.no_browser)
    return ExitCode.OK


def _port(text: str) -> int:
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"expected a port 0 to 65535, not {text!r}")
    return int(text)


def _presets(args: argparse.Namespace) -> ExitCode:
    from velkor.model.presets import PRESETS

    for name, pipeline in PRESETS.items():
        _say(f"{name:22} {_factor(pipeline):>26}  {pipeline.description}", sys.stdout)
    return ExitCode.OK


def _factor(pipeline: Pipeline) -> str:
    return f"filter factor {pipeline.filter_factor_stops:+.2f} stops".replace("-0.00", "+0.00")


def _check_outputs(outputs: Sequence[Path | None], inputs: Sequence[Path | str | None], overwrite: bool) -> None:
    """Refuse, before any work, outputs that collide with each other, with an input, or with a file.

    An input is never written over, whatever ``overwrite`` says: the colour
    original is what the photographer cannot make again.
    """
    # By identity, in sets: a batch of 100,000 files must not compare every pair.
    read = {_identity(Path(path)) for path in inputs if path is not None}
    chosen: set[object] = set()
    for output in (path for path in outputs if path is not None):
        identity = _identity(output)
        if identity in chosen:
            raise UsageError(f"two outputs name the same file: {output}")
        chosen.add(identity)
        if identity in read:
            raise OutputExistsError(f"output is an input of this run: {output} (choose another output)")
        if not overwrite and output.exists():
            raise OutputExistsError(f"output exists: {output}")


def _identity(path: Path) -> object:
    """The file itself for one that exists (hard links, names that differ only in case), else the full name."""
    try:
        info = path.stat()
    except (OSError, RuntimeError):
        try:
            return path.resolve()
        except (OSError, RuntimeError):  # a loop of links
            return path.absolute()
    return info.st_dev, info.st_ino
