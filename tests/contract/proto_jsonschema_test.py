#!/usr/bin/python3
"""tools/proto-jsonschema --check must fail on each kind of drift it exists to catch."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(SOURCE, "tools", "proto-jsonschema")
with open(os.path.join(SOURCE, "docs", "asyncapi.yaml"), encoding="utf-8") as f:
    DOC = f.read()
PROTOC = sys.argv[1] if len(sys.argv) > 1 else "protoc"


def check(doc):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "asyncapi.yaml")
        with open(path, "w", encoding="utf-8") as f:
            f.write(doc)
        run = subprocess.run([TOOL, "--check", "--doc", path, "--protoc", PROTOC], capture_output=True, text=True)
        with open(path, encoding="utf-8") as f:
            unchanged = f.read() == doc
    return run.returncode, run.stdout + run.stderr, unchanged


class DriftTest(unittest.TestCase):
    def test_an_edited_generated_schema_fails_with_a_diff_and_is_left_alone(self):
        edited = DOC.replace("x-proto-message: vantorel_base_station_mqtt.StationCheckRsp\n", "", 1)
        self.assertNotEqual(edited, DOC)
        code, output, unchanged = check(edited)
        self.assertEqual(code, 1, output)
        self.assertIn("+      x-proto-message: vantorel_base_station_mqtt.StationCheckRsp", output)
        self.assertTrue(unchanged, "--check must not write")

    def test_a_hand_written_schema_that_leaves_its_proto_fails(self):
        renamed = DOC.replace("            occupy_state:\n", "            occupied_state:\n", 1)
        retyped = re.sub(r"(\n +station_id:\n +type: )string", r"\1integer", DOC, count=1)
        for doc, why in ((renamed, "has no field occupied_state"), (retyped, "integer for a field of type string")):
            self.assertNotEqual(doc, DOC)
            code, output, _ = check(doc)
            self.assertEqual(code, 1, output)
            self.assertIn(why, output)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
