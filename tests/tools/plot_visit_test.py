"""tools/plot-visit: how it reads a record (requests paired with their answers,
actuator bars, tasks, abnormal spans) and that it draws a picture that is not blank.

Run as: python3 plot_visit_test.py (PLOT_VISIT and VISIT_DATA may point elsewhere).
"""

import importlib.machinery
import os
import subprocess
import sys
import tempfile
import types
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PLOT_VISIT = os.environ.get("PLOT_VISIT", os.path.join(HERE, "..", "..", "tools", "plot-visit"))
DATA = os.environ.get("VISIT_DATA", os.path.join(HERE, "..", "data"))


pv = types.ModuleType("plot_visit")
pv.__file__ = PLOT_VISIT
importlib.machinery.SourceFileLoader("plot_visit", PLOT_VISIT).exec_module(pv)
BASE = "clean_robot_station/s1/"


def request(t, name, msg, **fields):
    return {"t": t, "topic": BASE + name, "kind": "request",
            "payload": dict({"reqHeader": {"msgId": {"uuid": msg}}}, **fields)}


def reply(t, name, msg, err=0, **fields):
    return {"t": t, "topic": BASE + name + "Re", "kind": "reply",
            "payload": dict({"rspHeader": {"msgId": {"uuid": msg}, "errCode": err}}, **fields)}


def command(t, actuator, kind, action, ok=True):
    return {"t": t, "kind": "command", "actuator": actuator, "type": kind, "action": action, "ok": ok}


class PairingTest(unittest.TestCase):
    def test_answers_are_matched_by_msg_id_and_judged_like_stationctl(self):
        record = [
            request(1.0, "checkStation", "a", checkType=0),
            reply(1.1, "checkStation", "other-robot", robotCheck=1),  # someone else's answer
            reply(1.2, "checkStation", "a", robotCheck=0),
            request(2.0, "dockState", "b", robotDesire=2),
            reply(2.1, "dockState", "b", robotDesire=1),  # overruled: must stay
            request(3.0, "supplyMaterialRequest", "c", cmd={"supplyType": 7, "action": 2}),
            reply(3.1, "supplyMaterialRequest", "c"),
            request(4.0, "supplyMaterialRequest", "d", cmd={"supplyType": 9, "action": 2}),
            reply(4.1, "supplyMaterialRequest", "d", err=24),
            request(5.0, "preWaterRequest", "e", cmd={"actionCmd": {"action": 2}, "waterVolume": 1}),
        ]
        ex = {e["label"]: e for e in pv.pair_requests(record)}
        self.assertEqual(ex["check in-pose"]["answered_at"], 1.2)
        self.assertFalse(ex["check in-pose"]["ok"])
        self.assertFalse(ex["dock leave"]["ok"])
        self.assertTrue(ex["collect-dust standard"]["ok"])
        self.assertFalse(ex["uv-lamp standard"]["ok"])
        self.assertEqual(ex["uv-lamp standard"]["code"], 24)
        self.assertIsNone(ex["prewater 1 l"]["answered_at"])


class SpansTest(unittest.TestCase):
    def test_actuators_follow_carried_out_commands_and_a_reset_ends_them_all(self):
        sim = [
            command(1.0, "tap", 1, 1),
            command(2.0, "fan", 6, 100),
            command(2.5, "fan", 6, 0, ok=False),  # refused: the fan kept running
            command(3.0, "tap", 1, 0),
            command(4.0, "tap", 1, 1),
            command(6.0, "reset", 16, 1),
            command(7.0, "dust", 7, 1),
        ]
        spans = pv.actuator_spans(sim, end=10.0)
        self.assertEqual(spans["tap"], [(1.0, 2.0), (4.0, 2.0)])
        self.assertEqual(spans["fan"], [(2.0, 4.0)])
        self.assertEqual(spans["dust"], [(7.0, 3.0)])  # still on when the record ends
        self.assertNotIn("reset", spans)

    def test_tasks_end_at_a_stop_or_when_their_actuator_stays_off(self):
        record = [
            request(1.0, "supplyMaterialRequest", "a", cmd={"supplyType": 7, "action": 2}),
            reply(1.1, "supplyMaterialRequest", "a"),
            request(5.0, "supplyMaterialRequest", "b", cmd={"supplyType": 7, "action": 4}),
            reply(5.1, "supplyMaterialRequest", "b"),
            request(6.0, "supplyMaterialRequest", "c", cmd={"supplyType": 3, "action": 2}),
            reply(6.1, "supplyMaterialRequest", "c"),
            request(7.0, "supplyMaterialRequest", "d", cmd={"supplyType": 6, "action": 2}),
            reply(7.1, "supplyMaterialRequest", "d", err=17),  # refused: no task
        ]
        act = pv.actuator_spans([command(6.2, "supply", 3, 1), command(9.0, "supply", 3, 0)], end=40.0)
        tasks = pv.task_spans(pv.pair_requests(record), act, end=40.0)
        self.assertEqual(sorted(tasks), [("collect-dust", 1.1, 5.1), ("watering", 6.1, 9.0)])

    def test_abnormal_uploads_shade_until_the_next_clean_one(self):
        def upload(t, sensors):
            return {"t": t, "kind": "upload", "topic": "clean_robot_station/reportActively",
                    "payload": {"abnormalInfo": {"abnormalSensorList": sensors}}}
        plate = [{"name": "electrode_plate_temp_up", "data": "90"}]
        record = [upload(1, []), upload(2, plate), upload(3, plate), upload(4, []), upload(8, plate)]
        spans = pv.abnormal_spans(record, end=9)
        self.assertEqual(spans, [(2, 4, "electrode_plate_temp_up 90"), (8, 9, "electrode_plate_temp_up 90")])


class RenderTest(unittest.TestCase):
    def render(self, *args):
        out = os.path.join(self.tmp, "visit.png")
        proc = subprocess.run([sys.executable, PLOT_VISIT, *args, "-o", out], capture_output=True, text=True)
        if proc.returncode == 0:
            import matplotlib.image
            pixels = matplotlib.image.imread(out)
            self.assertTrue((pixels != pixels[0, 0]).any(), "one colour: nothing was drawn")
        return proc.returncode

    def test_a_recorded_visit_renders_whole_or_cut_short_and_an_empty_one_fails(self):
        with tempfile.TemporaryDirectory() as self.tmp:
            record = os.path.join(DATA, "visit-record.jsonl")
            self.assertEqual(self.render(record, "--sim-log", os.path.join(DATA, "visit-board.jsonl")), 0)
            with open(record, encoding="utf-8") as f:
                text = f.read()
            cut = os.path.join(self.tmp, "cut.jsonl")
            with open(cut, "w", encoding="utf-8") as f:
                f.write(text[: len(text) // 2])  # ends in half a line; no board log either
            self.assertEqual(self.render(cut), 0)
            open(cut, "w", encoding="utf-8").close()
            self.assertEqual(self.render(cut), 1)


if __name__ == "__main__":
    unittest.main()
