#!/usr/bin/env python3
"""Reads an exported file back with standard consumers and prints it as JSON.

readback.py csv FILE   -> {"rows": [[...], ...]}            (Python's csv module)
readback.py xlsx FILE  -> {"sheets": [{"name", "freeze", "widths", "rows", "formats"}]}  (openpyxl)
readback.py zip FILE   -> {"parts": {name: text}}  every member of the archive as Latin-1 text,
                          except the document properties (they hold the time of writing)
Date-time cells become ISO strings with milliseconds.
"""
import csv
import datetime
import json
import sys


def cell_value(v):
    if isinstance(v, datetime.datetime):
        # Excel keeps days as a double; round the read-back to the millisecond.
        ms = round(v.microsecond / 1000)
        v = v.replace(microsecond=0) + datetime.timedelta(milliseconds=ms)
        return v.isoformat(timespec="milliseconds")
    return v


def read_xlsx(path):
    import openpyxl
    from openpyxl.utils import get_column_letter
    wb = openpyxl.load_workbook(path)
    sheets = []
    for ws in wb.worksheets:
        rows, formats = [], []
        for row in ws.iter_rows():
            rows.append([cell_value(c.value) for c in row])
            formats.append([c.number_format for c in row])
        widths = {}
        for i in range(1, ws.max_column + 1):
            letter = get_column_letter(i)
            dim = ws.column_dimensions.get(letter)
            widths[letter] = dim.width if dim is not None else None
        sheets.append({
            "name": ws.title,
            "freeze": ws.freeze_panes,
            "widths": widths,
            "rows": rows,
            "formats": formats,
            "boldHeader": all(c.font is not None and c.font.b for c in ws[1]) if ws.max_row >= 1 else False,
        })
    return {"sheets": sheets}


def read_csv(path):
    with open(path, newline="", encoding="utf-8") as f:
        return {"rows": [row for row in csv.reader(f, strict=True)]}


def read_zip(path):
    import zipfile
    with zipfile.ZipFile(path) as z:
        return {"parts": {n: z.read(n).decode("latin-1") for n in z.namelist() if n != "docProps/core.xml"}}


def main():
    mode, path = sys.argv[1], sys.argv[2]
    readers = {"xlsx": read_xlsx, "zip": read_zip, "csv": read_csv}
    result = readers[mode](path)
    json.dump(result, sys.stdout)


if __name__ == "__main__":
    main()
