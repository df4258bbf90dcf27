#!/usr/bin/env python3
"""Checks what the README and docs/ tell a reader against the repository:
every file they name exists, every link lands on a heading, every command
they give uses options its script or tool takes, every scenario they show or
name runs, and the README's table of settings keys is tweak/settings/Contract.h's.
Usage: check-docs.py SOURCE_DIR THRUMLINE_SIM"""
import glob, json, os, re, shlex, subprocess, sys

top, tool = sys.argv[1], sys.argv[2]
problems = []
PLACEHOLDERS = {"NAME", "TARGET", "FILE", "DIR", "DYLIB", "LABEL", "OUT", "DEB"}
roots = set(os.listdir(top)) - {"build"}
labels = set()
for cmake in glob.glob(f"{top}/**/CMakeLists.txt", recursive=True):
    if "/build/" not in cmake:
        for words in re.findall(r'(?:LABELS|set\(label)\s+"?([\w;]+)', open(cmake).read()):
            labels.update(words.split(";"))
presets = {p["name"] for p in json.load(open(f"{top}/CMakePresets.json"))["configurePresets"]}
basenames = {f for d, _, files in os.walk(top) if "/build" not in d for f in files}
help_text = open(f"{top}/simulator/thrumline-sim/help.txt").read()


def slug(heading):
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def check_path(word, where):
    if "/" not in word and re.fullmatch(r"[\w-]+\.(cpp|h|mm|py|sh)", word):
        if word not in basenames:
            problems.append(f"{where}: no file {word}")
        return
    parts = word.rstrip("/").split("/")
    if parts[0] not in roots:
        return  # a build output, a phone path or an example of a name
    for i, part in enumerate(parts):
        if set(re.findall(r"[A-Z]{2,}", part)) & PLACEHOLDERS or "*" in part:
            parts = parts[:i]
            break
    if not os.path.exists(os.path.join(top, *parts)):
        problems.append(f"{where}: no {word}")


def run_tool(args, where, stdin=None):
    result = subprocess.run([tool, *args], input=stdin, capture_output=True, text=True)
    if result.returncode != 0:
        problems.append(f"{where}: thrumline-sim {' '.join(args)} exits {result.returncode}: "
                        + result.stderr.strip()[:300])


def check_command(line, where):
    words = shlex.split(line.split(" # ")[0].replace("\\\n", " "), comments=False)
    for w in words:
        check_path(w, where)
    example = words[:2] == ["bash", "scripts/run-example.sh"]
    if example or (words and words[0].endswith("thrumline-sim")):
        for option in (w for w in words[1:] if w.startswith("--")):
            if option not in help_text:
                problems.append(f"{where}: thrumline-sim has no {option}")
        if example and len(words) > 2 and words[2].split("/")[0] in roots:
            run_tool(words[3:] + [os.path.join(top, words[2])], where)
    elif words[:1] == ["bash"] and len(words) > 1:
        script = os.path.join(top, words[1])
        for option in (w for w in words[2:] if w.startswith("--")):
            if os.path.exists(script) and option not in open(script).read():
                problems.append(f"{where}: {words[1]} takes no {option}")
    elif words[:1] == ["ctest"] and "-L" in words:
        label = words[words.index("-L") + 1]
        if label not in labels | PLACEHOLDERS:
            problems.append(f"{where}: no test has the label {label}")
    elif words[:2] == ["cmake", "--preset"] and words[2] not in presets:
        problems.append(f"{where}: no preset {words[2]}")


pages = [f"{top}/README.md"] + sorted(glob.glob(f"{top}/docs/*.md"))
for page in pages:
    name = os.path.relpath(page, top)
    text = open(page).read()
    for n, block in enumerate(re.findall(r"```scn\n(.*?)```", text, re.S)):
        run_tool(["-"], f"{name}: scenario {n + 1}", stdin=block)
    for block in re.findall(r"```sh\n(.*?)```", text, re.S):
        for line in block.replace("\\\n", " ").splitlines():
            if line.strip():
                check_command(line, name)
    for block in re.findall(r"```\n(.*?)```", text, re.S):
        for word in re.findall(r"[\w.-]+/[\w./-]*|[\w-]+\.\w+", block):
            check_path(word, name)
    prose = re.sub(r"```.*?```", "", text, flags=re.S)
    for code in re.findall(r"`([^`\n]+)`", prose):
        if code.startswith(("bash ", "thrumline-sim ", "ctest ", "cmake ")):
            check_command(code, name)
        elif " " not in code:
            check_path(code, name)
    for target in re.findall(r"\]\(([^)\s]+)\)", prose):
        if target.startswith("http"):
            continue
        path, _, anchor = target.partition("#")
        linked = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
        if not os.path.exists(linked):
            problems.append(f"{name}: broken link {target}")
        elif anchor and anchor not in {slug(h) for h in re.findall(r"^#+ (.*)$", open(linked).read(), re.M)}:
            problems.append(f"{name}: no heading for #{anchor} in {path or name}")
    for example in set(re.findall(r"examples/[a-z][\w-]*\.scn", text)):
        run_tool([os.path.join(top, example)], name)

# --help's example, as the README sends readers there for the language.
example = re.search(r"\nExample:\n((?:  .*\n|\n)+)", help_text).group(1)
if "expect" not in example:
    problems.append("help.txt: the example checks nothing")
run_tool(["-"], "help.txt: the example", stdin=re.sub(r"^  ", "", example, flags=re.M))

readme = open(f"{top}/README.md").read()
lines = readme.splitlines()
if len(lines) > 150:
    problems.append(f"README.md: {len(lines)} lines, more than 150")
for command in ("bash scripts/run-example.sh", "bash scripts/run-tests.sh"):
    if not any(line.startswith(command) for line in lines[:20]):
        problems.append(f"README.md: {command} is not on the first screen")

# The keys table against the contract: names, types and missing values, in order.
contract = open(f"{top}/tweak/settings/Contract.h").read()
defines = dict(re.findall(r"#define (THRUMLINE_\w+) (\d+)\n", contract))
keys = [(k, {"BOOLEAN": "bool", "INTEGER": "int"}[t], defines.get(m, m))
        for k, t, m in re.findall(r"X\((\w+), (\w+), (\w+), \w+\)", contract)]
shown = [(k, t, {"false": "0", "true": "1"}.get(m, m))
         for k, t, m in re.findall(r"^\| `(\w+)` \| (\w+) \| ([\w-]+) \|", readme, re.M)]
if shown != keys:
    problems.append(f"README.md: the keys table is {shown}, tweak/settings/Contract.h says {keys}")

print("\n".join(problems) or f"{len(pages)} pages checked")
sys.exit(1 if problems else 0)
