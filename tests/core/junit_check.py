#!/usr/bin/env python3
"""Reads a JUnit XML report as CI engines do and prints what they would see.

Checks the structure the engines rely on (testsuites/testsuite with tests,
failures, skipped and time, each count matching the cases) and prints one
JSON object a case: name, classname, time, outcome, type, message, output.
When junitparser is installed the cases are read through it too, and both
readings must agree. Exit status 1 with the reason when the report is wrong.
"""
import json
import sys
import xml.etree.ElementTree as ET


def fail(why):
    print("junit_check: " + why, file=sys.stderr)
    sys.exit(1)


def etree_cases(path):
    root = ET.parse(path).getroot()
    if root.tag != "testsuites":
        fail("the root is <%s>, not <testsuites>" % root.tag)
    suites = root.findall("testsuite")
    if not suites:
        fail("no <testsuite>")
    cases = []
    for suite in suites:
        for attribute in ("name", "tests", "failures", "errors", "skipped", "time"):
            if attribute not in suite.attrib:
                fail("<testsuite> has no %s" % attribute)
        float(suite.get("time"))
        children = suite.findall("testcase")
        counted = {"tests": len(children),
                   "failures": sum(1 for c in children if c.find("failure") is not None),
                   "errors": sum(1 for c in children if c.find("error") is not None),
                   "skipped": sum(1 for c in children if c.find("skipped") is not None)}
        for key, value in counted.items():
            if int(suite.get(key)) != value:
                fail("testsuite %s=%s, its cases say %d" % (key, suite.get(key), value))
        for case in children:
            for attribute in ("name", "classname", "time"):
                if attribute not in case.attrib:
                    fail("<testcase> has no %s" % attribute)
            entry = {"name": case.get("name"), "classname": case.get("classname"),
                     "time": float(case.get("time")), "outcome": "passed", "type": "", "message": "",
                     "output": case.findtext("system-out") or ""}
            for tag, outcome in (("failure", "failed"), ("error", "error"), ("skipped", "skipped")):
                element = case.find(tag)
                if element is not None:
                    entry.update(outcome=outcome, type=element.get("type") or "",
                                 message=element.get("message") or "")
            cases.append(entry)
    for key in ("tests", "failures", "errors", "skipped"):
        if int(root.get(key)) != sum(int(s.get(key)) for s in suites):
            fail("testsuites %s does not add up" % key)
    return cases


def junitparser_cases(path):
    try:
        import junitparser
    except ImportError:
        return None
    report = junitparser.JUnitXml.fromfile(path)
    suites = [report] if isinstance(report, junitparser.TestSuite) else list(report)
    cases = []
    for suite in suites:
        for case in suite:
            outcome = "passed"
            for result in case.result:
                outcome = {junitparser.Failure: "failed", junitparser.Error: "error",
                           junitparser.Skipped: "skipped"}.get(type(result), outcome)
            cases.append({"name": case.name, "classname": case.classname, "outcome": outcome})
    return cases


def main():
    if len(sys.argv) != 2:
        fail("usage: junit_check.py REPORT.xml")
    cases = etree_cases(sys.argv[1])
    parsed = junitparser_cases(sys.argv[1])
    if parsed is not None:
        plain = [{k: c[k] for k in ("name", "classname", "outcome")} for c in cases]
        if parsed != plain:
            fail("junitparser reads %s, xml.etree %s" % (parsed, plain))
    for case in cases:
        print(json.dumps(case))


main()
