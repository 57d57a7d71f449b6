"""Loading the library, the declared prototypes against the header, and the raw functions."""

from __future__ import annotations

import ctypes
import os
import re
from pathlib import Path

import pytest

import zel_api
from zel_api import _library
from zel_api.unit import _EXPORTS as BINDING_EXPORTS
from conftest import REPO

C_TYPES = {
    "uint8_t": ctypes.c_uint8, "uint16_t": ctypes.c_uint16, "int32_t": ctypes.c_int32,
    "uint32_t": ctypes.c_uint32, "int": ctypes.c_int, "double": ctypes.c_double,
    "zel_error": ctypes.c_int, "const char*": ctypes.c_char_p, "zel_instance*": ctypes.c_void_p,
    "void": None, "void*": ctypes.c_void_p, "zel_frame_trace_fn": _library.FRAME_TRACE_FN,
    "uint8_t*": ctypes.POINTER(ctypes.c_uint8), "uint16_t*": ctypes.POINTER(ctypes.c_uint16),
    "const uint16_t*": ctypes.POINTER(ctypes.c_uint16), "int32_t*": ctypes.POINTER(ctypes.c_int32),
    "int64_t*": ctypes.POINTER(ctypes.c_int64), "double*": ctypes.POINTER(ctypes.c_double),
    "const double*": ctypes.POINTER(ctypes.c_double), "size_t": ctypes.c_size_t,
    "size_t*": ctypes.POINTER(ctypes.c_size_t), "uint32_t*": ctypes.POINTER(ctypes.c_uint32),
}


def header_exports(text=None):
    """(name, return type, [parameter types]) of every ZEL_EXPORT in include/zel_api.h (or in
    `text`), in the order declared."""
    if text is None:
        text = (REPO / "include" / "zel_api.h").read_text()
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    found = []
    for ret, name, params in re.findall(r"ZEL_EXPORT\s+([\w\s\*]+?)\s*\b(\w+)\s*\(([^)]*)\)", text):
        types = []
        for param in filter(None, (p.strip() for p in params.split(","))):
            if param == "void":
                continue
            ctype = re.sub(r"\s*\b\w+$", "", param) if not param.endswith("*") else param
            types.append(re.sub(r"\s*\*", "*", ctype).strip())
        found.append((name, re.sub(r"\s*\*", "*", ret.strip()), types))
    return found


def test_every_header_export_is_declared_with_its_c_types(lib):
    exports = header_exports()
    assert len(exports) >= 73  # the 67 names and six extras
    for name, ret, params in exports:
        fn = getattr(lib, name)
        assert fn.restype is C_TYPES[ret], name
        assert list(fn.argtypes) == [C_TYPES[p] for p in params], name
    assert sorted(_library.PROTOTYPES) == sorted(name for name, _, _ in exports)


# Unit-index exports whose instance form takes other arguments or returns another type (the
# pair's comment in the header says how): the partner each must be declared beside.
PARTNERS_THAT_DIFFER = {
    "APIMonitor": "zel_Monitor",                          # signed index, 32-bit status
    "APISetVOAAttenuation": "zel_SetVOACode",             # signed code, low 12 bits sent
    "APIWriteValueToEEProm": "zel_WriteValueToEEProm",    # a word, not a byte
    "APIReadValueFromEEProm": "zel_ReadEEPromByte",       # no byte handed back
}


def header_pairs():
    """{unit-index export: the instance exports under the same comment right before it}, for
    every unit-index export that takes a unit index; fails for one declared anywhere else."""
    header = (REPO / "include" / "zel_api.h").read_text()
    pairs = {}
    for block in header.split("/**"):  # a doc comment and the declarations it documents
        instance_forms = []
        for name, ret, params in header_exports("/**" + block):
            if not name.startswith("API") or params[0] == "zel_instance*":
                instance_forms.append((name, ret, params))
                continue
            assert instance_forms, f"{name} is not declared under its instance form"
            partner, partner_ret, partner_params = instance_forms[-1]
            if name in PARTNERS_THAT_DIFFER:
                assert partner == PARTNERS_THAT_DIFFER[name], name
            else:
                assert (partner_ret, partner_params[1:]) == (ret, params[1:]), f"{partner} / {name}"
            pairs[name] = {form for form, _, _ in instance_forms}
            instance_forms = []
    return pairs


def test_each_unit_index_export_is_declared_beside_its_instance_form():
    pairs = header_pairs()
    assert len(pairs) >= 47  # every unit-index export but APIGetAPIRev
    # The binding drives an operation through the pair the header declares; only wavelength
    # selection takes zel_SelectWavelength, which also loads the calibration, and the connect
    # zel_QuickConnect, which leaves the instance as zel_Connect does.
    for op, (instance_name, table_name) in BINDING_EXPORTS.items():
        if table_name is not None and instance_name not in ("zel_SelectWavelength", "zel_QuickConnect"):
            assert instance_name in pairs[table_name], op


def test_load_checks_the_revision(lib):
    assert lib.APIGetAPIRev(None) == zel_api.EXPECTED_API_REVISION
    assert zel_api.raw is zel_api.library()


def test_header_constants_match_the_binding():
    text = (REPO / "include" / "zel_api.h").read_text()
    defines = {name: int(value, 0) for name, value in
               re.findall(r"#define\s+ZEL_(RECORD_\w+|EEPROM_SIZE)\s+(0x[0-9A-Fa-f]+|\d+)u?\b", text)}
    assert len(defines) == len(zel_api.Record) + 1
    for name, value in defines.items():
        assert getattr(zel_api, name) == value, name


def test_explicit_path_is_the_only_place_looked(tmp_path):
    missing = tmp_path / "libzel_api.so"
    with pytest.raises(zel_api.LibraryNotFoundError, match=str(missing)) as info:
        zel_api.load_library(missing)
    assert "next to the package:" not in str(info.value)


def test_not_found_names_the_three_ways_and_every_place_looked(tmp_path, monkeypatch):
    monkeypatch.delenv(zel_api.LIBRARY_ENV, raising=False)
    monkeypatch.setattr(_library, "_package_dir", lambda: tmp_path / "pkg")
    monkeypatch.setattr(_library, "_source_build_dir", lambda: tmp_path / "build")
    monkeypatch.setattr(_library.ctypes.util, "find_library", lambda name: None)
    # The real library is loaded in this process already, and dlopen() would hand it out again.
    monkeypatch.setattr(_library, "SYSTEM_NAMES", ("libzel_api_not_installed.so.1",))
    with pytest.raises(zel_api.LibraryNotFoundError) as info:
        zel_api.load_library()
    message = str(info.value)
    for place in ("$ZEL_API_LIBRARY", str(tmp_path / "pkg"), "libzel_api_not_installed.so.1",
                  str(tmp_path / "pkg" / "libzel_api.so.1"), str(tmp_path / "build" / "libzel_api.so")):
        assert place in message


def test_places_in_order(lib, monkeypatch):
    monkeypatch.setenv(zel_api.LIBRARY_ENV, lib._name)
    # An installed library would make find_library's answer the last place instead.
    monkeypatch.setattr(_library.ctypes.util, "find_library", lambda name: None)
    places = zel_api.candidate_paths()
    assert places[0] == ("$" + zel_api.LIBRARY_ENV, lib._name)
    kinds = [description.split(" (")[0] for description, _ in places]
    assert kinds == sorted(kinds, key=["$" + zel_api.LIBRARY_ENV, "next to the package", "system loader"].index)
    beside = [Path(p) for d, p in places if d == "next to the package"]
    assert beside[0].parent == Path(zel_api.__file__).resolve().parent
    assert REPO / "build" / "libzel_api.so.1" in beside  # the source tree's build
    assert places[-1] == ("system loader", "libzel_api.so.1")


def test_version_is_the_cmake_project_version():
    expected = os.environ.get("ZEL_PROJECT_VERSION")
    if not expected:
        pytest.skip("ZEL_PROJECT_VERSION is set by CTest")
    assert zel_api.__version__ == expected


def test_raw_functions_keep_the_c_semantics(lib, sim):
    raw = zel_api.raw
    index = 30
    assert raw.APIConnect(index, sim.encode()) == 1
    try:
        assert raw.APILastError(index) == zel_api.ErrorCode.OK
        assert raw.APIReadValueFromEEProm(index, 0x2000) == 1
        assert raw.APISwicthSelect_MEMS_1x4(index, 0, 3) == 1
        position = ctypes.c_uint16()
        assert raw.APIReadSwicthSelect_MEMS_1x4(index, 999, ctypes.byref(position)) == 1
        assert position.value == 3
        assert raw.APIReadVOAAttenuation(index, 8, ctypes.byref(position)) == 0
        assert raw.APILastError(index) == zel_api.ErrorCode.NO_SUCH_CHANNEL
    finally:
        assert raw.APIDisconnect(index) == 1


def test_4x1_and_8x1_names_drive_the_same_switch(lib, sim):
    inst = lib.zel_createInstance()
    try:
        assert lib.zel_Connect(inst, sim.encode()) == 1
        pos = ctypes.c_uint16()
        for kind in ("MEMS", "LBMM"):
            assert getattr(lib, f"zel_SwitchSelect_{kind}_8x1")(inst, 0, 5) == 1
            assert getattr(lib, f"zel_ReadSwitchSelect_{kind}_4x1")(inst, 0, ctypes.byref(pos)) == 1
            assert pos.value == 5
            assert getattr(lib, f"zel_SwitchSelect_{kind}_4x1")(inst, 0, 2) == 1
            assert getattr(lib, f"zel_ReadSwitchSelect_{kind}_8x1")(inst, 0, ctypes.byref(pos)) == 1
            assert pos.value == 2
    finally:
        lib.zel_destroyInstance(inst)


def test_the_package_exposes_only_its_own_names():
    # What ``from zel_api import *`` and a completer offer: the binding's names and its modules,
    # no helper it imported for itself (typing's ``Any``, the ``annotations`` feature).
    public = {name for name in vars(zel_api) if not name.startswith("_")}
    modules = {name for name in public if type(getattr(zel_api, name)).__name__ == "module"}
    assert public - modules == {name for name in zel_api.__all__ if not name.startswith("_")}
