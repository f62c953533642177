"""The installed distribution ships the type stubs and the license with the module."""

import ast
import importlib.metadata

import kyr


def installed_file(suffix):
    matches = [path for path in importlib.metadata.files("kyr") if str(path).endswith(suffix)]
    assert len(matches) == 1, f"{suffix} is not part of the installed distribution"
    return matches[0].locate()


def test_stub_package_names_exactly_the_module_surface():
    stub = ast.parse(installed_file("kyr-stubs/__init__.pyi").read_text())
    declared = {node.name for node in stub.body
                if isinstance(node, (ast.ClassDef, ast.FunctionDef))
                and not node.name.startswith("_")}
    listed = next(ast.literal_eval(node.value) for node in stub.body
                  if isinstance(node, ast.Assign) and node.targets[0].id == "__all__")
    assert listed == kyr.__all__
    assert declared == set(kyr.__all__)


def test_license_is_declared_and_shipped():
    metadata = importlib.metadata.metadata("kyr")
    assert metadata["License-Expression"] == "MIT"
    assert metadata["License-File"] == "LICENSE"
    assert installed_file(".dist-info/licenses/LICENSE").read_text().startswith("MIT License")
