#!/usr/bin/env python3
"""Validates SARIF logs against a JSON schema: sarif_check.py SCHEMA LOG...

Prints "LOG: valid, N results" for each valid log; exits 1 at the first
invalid one, with the schema's complaint, and 77 (skipped) when the
jsonschema module is not installed.

sarif-schema-2.1.0.json beside this file is the SARIF 2.1.0 schema
(2.1.0-rtm.5, draft-04) as published with the format, kept here unchanged so
that the tests reach no network.
"""
import json
import sys

try:
    import jsonschema
except ImportError:
    print("python3 has no jsonschema module (Debian: python3-jsonschema)", file=sys.stderr)
    sys.exit(77)


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    validator = jsonschema.Draft4Validator(schema)
    for path in sys.argv[2:]:
        with open(path, encoding="utf-8") as f:
            log = json.load(f)
        errors = sorted(validator.iter_errors(log), key=lambda e: list(e.path))
        if errors:
            for error in errors[:5]:
                where = "/".join(str(p) for p in error.path)
                print(f"{path}: {where}: {error.message}")
            sys.exit(1)
        print(f"{path}: valid, {len(log['runs'][0]['results'])} results")


main()
