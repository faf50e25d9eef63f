"""The Python constants that mirror the program's must hold the values its headers give.

The headers are read as text: each `name = literal;` line of a constexpr or of
a struct's default is one value.
"""

import ast
import pathlib
import re

import pytest

from lf_tools.common import model_contract, program

ROOT = pathlib.Path(__file__).resolve().parents[2]
ASSIGNMENT = re.compile(r"^\s*(?:constexpr\s+)?(?:const\s+)?[\w:]+\s*\*?\s+(\w+)\s*=\s*([^;]+);", re.MULTILINE)


def header_values(path, struct=None):
    """{name: value} of the header's assignments whose value is a literal
    (inside `struct` only, when named); other values are kept as their text."""
    text = pathlib.Path(path).read_text()
    if struct is not None:
        body = re.search(r"struct\s+" + struct + r"\s*\{(.*?)\n\};", text, re.DOTALL)
        assert body, f"no struct {struct} in {path}"
        text = body.group(1)
    values = {}
    for name, value in ASSIGNMENT.findall(text):
        try:
            values[name] = ast.literal_eval(value.strip())
        except (ValueError, SyntaxError):
            values[name] = value.strip()
    return values


CONTRACT = header_values(ROOT / "contract" / "model_contract.h")
EXTRACTION_OPTIONS = header_values(ROOT / "features" / "patch_extractor.h", "ExtractionOptions")
PREPARATION = header_values(ROOT / "features" / "image_preparation.h")


@pytest.mark.parametrize("header, name, mirrored", [
    (CONTRACT, "batch_size", model_contract.BATCH),
    (CONTRACT, "patch_side", model_contract.PATCH),
    (CONTRACT, "descriptor_length", model_contract.DESCRIPTOR_LENGTH),
    (CONTRACT, "serve_tag", model_contract.SERVE_TAG),
    (CONTRACT, "input_operation_name", model_contract.INPUT_NAME),
    (CONTRACT, "output_operation_name", model_contract.OUTPUT_NAME),
    (EXTRACTION_OPTIONS, "sift_features", program.SIFT.sift_features),
    (EXTRACTION_OPTIONS, "sift_octave_layers", program.SIFT.sift_octave_layers),
    (EXTRACTION_OPTIONS, "sift_contrast_threshold", program.SIFT.sift_contrast_threshold),
    (EXTRACTION_OPTIONS, "sift_edge_threshold", program.SIFT.sift_edge_threshold),
    (EXTRACTION_OPTIONS, "sift_sigma", program.SIFT.sift_sigma),
    (PREPARATION, "prepared_width", program.PREPARED_WIDTH),
    (PREPARATION, "prepared_height", program.PREPARED_HEIGHT),
])
def test_mirrored_constant_equals_the_header(header, name, mirrored):
    assert name in header, f"{name} is not a literal in the header"
    assert header[name] == mirrored and type(header[name]) is type(mirrored)


def test_every_sift_option_is_mirrored_by_name():
    options = {name for name in EXTRACTION_OPTIONS if name.startswith("sift_")}
    assert options == set(program.SiftSettings._fields)


def test_patches_are_sampled_at_the_network_input_size():
    assert EXTRACTION_OPTIONS["patch_size"] == "patch_side"


def test_the_parser_reads_each_kind_of_literal(tmp_path):
    header = tmp_path / "sample.h"
    header.write_text('constexpr int a = -1;\nconstexpr const char* b = "x y";\n'
                      "struct S {\n  double c = 0.5;\n  int d = a;\n  std::string check() const;\n};\n")
    assert header_values(header) == {"a": -1, "b": "x y", "c": 0.5, "d": "a"}
    assert header_values(header, "S") == {"c": 0.5, "d": "a"}
