"""What an installed orrin carries besides its code: the version and the type information."""

import importlib
import importlib.metadata
import inspect
import pathlib

import pytest

import orrin

PACKAGE = pathlib.Path(orrin.__file__).resolve().parent
COMPILED = sorted(p for p in PACKAGE.rglob("*") if p.suffix in (".so", ".pyd"))


def module_name(path):
    parts = path.relative_to(PACKAGE.parent).parent.parts + (path.name.split(".")[0],)
    return ".".join(parts)


def test_version_is_the_distribution_version():
    try:
        dist = importlib.metadata.distribution("orrin")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("orrin is imported from a source tree that is not installed")
    if pathlib.Path(dist.locate_file("orrin")).resolve() != PACKAGE:
        pytest.skip("the imported orrin is not the installed distribution")
    assert orrin.__version__ == dist.version


def test_package_declares_its_types():
    assert (PACKAGE / "py.typed").is_file()


@pytest.mark.parametrize("path", COMPILED, ids=module_name)
def test_every_compiled_module_has_a_stub_with_its_classes(path):
    stub = path.parent / (path.name.split(".")[0] + ".pyi")
    assert stub.is_file()
    module = importlib.import_module(module_name(path))
    text = stub.read_text()
    own = [name for name, value in vars(module).items()
           if inspect.isclass(value) and value.__module__ == module.__name__]
    for name in own:
        assert f"class {name}" in text
