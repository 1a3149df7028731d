#!/usr/bin/python3
"""Checks MQTT messages against the station's AsyncAPI document.

  validate_messages.py --contract docs/asyncapi.yaml [--station ID] [CAPTURE ...]

First the document itself: every schema is a valid JSON Schema, every channel's message
resolves, and every message example matches its payload schema. Then each CAPTURE, one
JSON object per line: {"topic": "...", "payload": "<the payload as received>"} (a payload
that is already a JSON object is taken as it is). Each message must fall on a channel of
the document and match that channel's payload schema.

Prints one line per captured message, "ok TOPIC" or "FAIL TOPIC: why", in input order,
then a summary; exits 1 when anything failed, 2 when the document or a capture cannot be
read.
Needs Debian's python3-jsonschema and python3-yaml.
"""

import argparse
import json
import re
import sys

import jsonschema
import yaml


class Contract:
    def __init__(self, doc):
        self.doc = doc
        self.resolver = jsonschema.RefResolver(base_uri="", referrer=doc)
        self.channels = []  # (name, topic pattern, [payload validators])
        for name, item in doc.get("channels", {}).items():
            pattern = "^" + re.sub(r"\\\{(\w+)\\\}", r"(?P<\1>[^/]+)", re.escape(name)) + "$"
            validators = []
            for operation in ("publish", "subscribe"):
                if operation in item:
                    for message in self.messages_of(item[operation]):
                        validators.append((message, self.validator(self.resolve(message)["payload"])))
            self.channels.append((name, re.compile(pattern), validators))

    def resolve(self, node):
        while isinstance(node, dict) and "$ref" in node:
            node = self.resolver.resolve(node["$ref"])[1]
        return node

    def messages_of(self, operation):
        message = self.resolve(operation["message"])
        return [self.resolve(m) for m in message["oneOf"]] if "oneOf" in message else [message]

    def validator(self, schema):
        return jsonschema.Draft7Validator(schema, resolver=self.resolver)

    def document_problems(self):
        problems = []
        for name, schema in self.doc.get("components", {}).get("schemas", {}).items():
            try:
                jsonschema.Draft7Validator.check_schema(schema)
            except jsonschema.SchemaError as e:
                problems.append("schema " + name + ": " + e.message)
        for channel, _, validators in self.channels:
            if not validators:
                problems.append("channel " + channel + ": no message")
            for message, validator in validators:
                for example in message.get("examples", []):
                    why = first_error(validator, example.get("payload"))
                    if why:
                        problems.append("example " + repr(example.get("name")) + " of " + channel + ": " + why)
        return problems

    def check(self, topic, payload, station):
        """None when the payload matches a channel of the document, else why not."""
        for _, pattern, validators in self.channels:
            match = pattern.match(topic)
            if not match:
                continue
            if station is not None and match.groupdict().get("stationId", station) != station:
                return "another station's topic"
            whys = [first_error(validator, payload) for _, validator in validators]
            return None if None in whys else "; ".join(whys)
        return "no channel of the document has this topic"


def first_error(validator, payload):
    error = jsonschema.exceptions.best_match(validator.iter_errors(payload))
    if error is None:
        return None
    where = "/" + "/".join(str(part) for part in error.absolute_path)
    return error.message + " (at " + where + ")"


def read_capture(path):
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not line.strip():
                continue
            record = json.loads(line)
            payload = record["payload"]
            if isinstance(payload, str):
                try:
                    payload = json.loads(payload)
                except ValueError:
                    pass  # plain text: only a string schema (the availability topic) takes it
            yield number, record["topic"], payload


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--contract", required=True, help="the AsyncAPI document")
    parser.add_argument("--station", help="the station id every station topic must carry")
    parser.add_argument("captures", nargs="*", help="JSON-lines files of captured messages")
    args = parser.parse_args()
    try:
        with open(args.contract, encoding="utf-8") as f:
            contract = Contract(yaml.safe_load(f))
    except (OSError, yaml.YAMLError, KeyError, jsonschema.exceptions.RefResolutionError) as e:
        print("cannot read the document: " + str(e), file=sys.stderr)
        return 2
    failed = contract.document_problems()
    for problem in failed:
        print("FAIL document: " + problem)
    count = 0
    try:
        for path in args.captures:
            for number, topic, payload in read_capture(path):
                count += 1
                why = contract.check(topic, payload, args.station)
                if why is None:
                    print("ok " + topic)
                else:
                    failed.append(topic)
                    print("FAIL " + topic + ": " + why + " [" + path + ":" + str(number) + "]")
    except (OSError, ValueError, KeyError) as e:
        print("cannot read a capture: " + str(e), file=sys.stderr)
        return 2
    print("%d messages checked, %d failures" % (count, len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
