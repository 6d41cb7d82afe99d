#!/usr/bin/env python3
"""Writes the technician's guide: one HTML file with the demo's screenshots
inside it, so that it opens anywhere without other files or a network.

    scripts/guide.py SHOTS_FOLDER OUT.html [MANIFEST.txt]

SHOTS_FOLDER holds the screenshots that scripts/demo.py takes (and its
unreadable-images.txt). MANIFEST.txt, as scripts/release.sh writes it, puts
what this copy of Lanzo.exe carries on the first page; a release of sample
images says so in the guide's first line.
"""

import base64
import html
import sys
from pathlib import Path

SHOTS = ("main-window", "question-1", "question-2", "updating", "done", "after-update")

# (what the box says, what it means, what to do). The texts are the
# programs' own.
FAILURES = [
    ("Error al cargar recursos de aplicaci\u00f3n",
     "Lanzo.exe could not write the updater into its folder: the folder is read-only or full, another "
     "Lanzo.exe runs from the same folder, the temporary folder cannot be used, or the file is damaged.",
     "Copy Lanzo.exe into a folder you can write to (the desktop, for instance), make sure no other copy "
     "runs, and start it again. If the message stays, get a new copy of Lanzo.exe."),
    ("Error al cargar recursos SH / Error al cargar recursos SP",
     "The firmware image of the coin recycler (SH) or the banknote module (SP) could not be written next to "
     "Lanzo.exe, or it is damaged.",
     "As above: a folder you can write to with free space; if it stays, get a new copy of Lanzo.exe."),
    ("System not found. Trying in V2...",
     "The newer device service did not answer; the tool tries the older one.",
     "Press OK and wait."),
    ("System not found in LOCALHOST. Cannot start the process.",
     "No device service answered on this PC. Nothing was changed.",
     "Check that the machine's device service is installed and running (restart the PC if unsure), then "
     "start Lanzo.exe again."),
    ("Could not initialize the device. Check connections.",
     "The device service answered but could not start the devices. Nothing was changed.",
     "Check the cables and the power of the devices, then start Lanzo.exe again."),
    ("Could not read the versions of the devices / Could not check the firmware file ...",
     "A device did not answer a question while the main window was filled. A line that reads "
     "\u201cFW: \u00a1ERROR!\u201d means that image was missing or refused; its button stays disabled.",
     "Close the tool, check the connections, and start Lanzo.exe again."),
    ("The firmware file for the ... was not found. Nothing has been updated.",
     "The image for this device is missing or was refused when the tool started.",
     "Close the tool and start Lanzo.exe again; do not move or rename files next to it while it runs."),
    ("The current version of the ... could not be read. Nothing has been updated.",
     "The device did not report its version, so the tool cannot tell whether the image is newer.",
     "Check the connections and start Lanzo.exe again."),
    ("The current version of the device is the same or newer that the available version to update to. "
     "\u00bfDo you want to downgrade?",
     "The image is not newer than the firmware already in the device.",
     "Answer No unless technical support asked you to install this version."),
    ("\u00a1WARNING! It is not possible to update the firmware of the banknote module ...",
     "The banknote module's firmware is too old to be updated with this tool. Nothing was changed.",
     "Contact your technical support."),
    ("\u00a1An error occurred while updating!",
     "Writing the firmware failed. The device may not work until it has been updated successfully.",
     "Leave the machine switched on. Note the whole text of the message. Start the update once more; if it "
     "fails again, contact technical support."),
    ("The device was updated, but it could not be restarted.",
     "The firmware was written, but the device did not restart on request.",
     "Close the tool, restart the machine's device service (or the machine), then start Lanzo.exe again "
     "to check the versions."),
]

STEPS = [
    ("main-window", "Start <b>Lanzo.exe</b>. A small window reads \u201cConnecting .....\u201d while the tool "
     "finds the devices; then the main window opens. On the left, the versions the devices report; on the "
     "right, the versions this copy of the tool can install. Each device has its own button."),
    ("question-1", "Press <b>Update coin recycler</b> or <b>Update banknote unit</b>. The tool asks whether "
     "to update that device: <b>OK</b> goes on, <b>Cancel</b> stops without changing anything."),
    ("question-2", "A warning follows: the update needs stable power and a stable system. <b>Yes</b> starts "
     "the update, <b>No</b> stops without changing anything. When the image is not newer than the device's "
     "firmware, a third question asks whether to downgrade."),
    ("updating", "The wait window shows the progress. <b>Do not switch the machine off and do not unplug "
     "anything while it reads \u201cUpdating ...\u201d</b>: an interrupted update can leave the device "
     "unusable. Then it reads \u201cVerifying ....\u201d while the tool gives the device time (5 seconds for "
     "the coin recycler, 25 for the banknote module) and restarts it."),
    ("done", "\u201cDevice updated correctly.\u201d ends the update. Press <b>OK</b>."),
    ("after-update", "The main window shows the device's new versions; the button of the updated device is "
     "disabled. Update the other device the same way, or close the window. Lanzo.exe then removes the files "
     "it wrote next to itself."),
]


SAMPLE_MARK = "firmware: SAMPLE IMAGES"
STAND_IN_VERSION = "SIM-UNREADABLE"  # the simulator's, for an image it cannot read
DEVICES = (("SMARTHOPPER", "coin recycler"), ("SMARTPAYOUT", "banknote module"))


def read_manifest(path):
    """The manifest's "key: value" lines, in order, and whether it is a
    release of sample images."""
    lines = path.read_text(encoding="utf-8").splitlines() if path else []
    facts = dict(line.split(": ", 1) for line in lines if ": " in line and not line.startswith("#"))
    return facts, bool(lines) and lines[0].startswith(SAMPLE_MARK)


def sample_banner(samples):
    if not samples:
        return ""
    return ('<p class="warning"><b>SAMPLE FIRMWARE IMAGES: NOT FOR THE FIELD.</b> This copy of Lanzo.exe carries '
            "the project's sample images, not the device maker's firmware. Do not use it on a machine.</p>\n")


def what_it_carries(facts):
    """The manifest's facts as the guide's first table."""
    if not facts:
        return ""
    rows = []
    commit = facts.get("commit", "unknown")
    if facts.get("uncommitted changes") == "yes":
        commit += " (with uncommitted changes)"
    rows.append(("Built from", commit))
    for name, device in DEVICES:
        size, digest = facts.get(f"image {name} size", "?"), facts.get(f"image {name} sha256", "?")
        rows.append((f"{device.capitalize()} image", f"{name}, {size} bytes, SHA-256 {digest}"))
    rows.append(("Lanzo.exe", f"SHA-256 {facts.get('file Lanzo.exe sha256', '?')}"))
    signed = facts.get("signed") == "yes"
    rows.append(("Signed", f"yes, by {facts.get('signer', '?')}" if signed else "no"))
    cells = "\n".join(f"<tr><th>{html.escape(k)}</th><td><code>{html.escape(v)}</code></td></tr>" for k, v in rows)
    return f"<h2>What this copy carries</h2>\n<table>\n{cells}\n</table>\n"


def stand_in_note(folder, samples):
    """Says whose versions the screenshots show, where they are not the
    carried images' own."""
    listed = folder / "unreadable-images.txt"
    unreadable = listed.read_text().split() if listed.exists() else []
    notes = ["These pictures were taken on a test stand-in for the machine's device service; the devices' "
             "versions in them are examples, not those of a real machine."]
    if samples:
        notes.append("The images' versions in them are those of the sample images.")
    if unreadable:
        names = " and ".join(unreadable)
        notes.append(f"The stand-in cannot read {names}: it shows \u201c{STAND_IN_VERSION}\u201d in place of that image's versions, and after an "
                     f"update as the device's. On the machine, the tool shows the versions the device service "
                     f"reads from the image.")
    return f"<p><i>{html.escape(' '.join(notes))}</i></p>"


def picture(folder, name):
    data = base64.b64encode((folder / f"{name}.png").read_bytes()).decode("ascii")
    return f'<img src="data:image/png;base64,{data}" alt="{name}">'


def page(folder, facts, samples):
    note = stand_in_note(folder, samples)
    steps = "\n".join(f"<li><p>{text}</p>{note if shot == 'main-window' else ''}{picture(folder, shot)}</li>"
                      for shot, text in STEPS)
    rows = "\n".join(f"<tr><td>{html.escape(box)}</td><td>{html.escape(means)}</td><td>{html.escape(do)}</td></tr>"
                     for box, means, do in FAILURES)
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{"SAMPLE IMAGES, NOT FOR THE FIELD: " if samples else ""}Firmware update: guide for the technician</title>
<style>
body {{ font-family: sans-serif; max-width: 60em; margin: 2em auto; padding: 0 1em; line-height: 1.4; }}
img {{ display: block; margin: 0.5em 0 1.5em; border: 1px solid #999; }}
table {{ border-collapse: collapse; }}
td, th {{ border: 1px solid #999; padding: 0.4em; vertical-align: top; text-align: left; }}
.warning {{ border: 2px solid #c00; padding: 0.5em 1em; }}
</style>
</head>
<body>
{sample_banner(samples)}<h1>Firmware update of the coin recycler and the banknote module</h1>
<p><b>Lanzo.exe</b> updates the firmware of the cash machine's coin recycler and banknote module. It carries
the update program and the two firmware images inside itself, writes them next to itself while it runs, and
removes them again at the end. It talks to the devices only through the machine's device service, which
must be installed and running on this PC.</p>
{what_it_carries(facts)}<p class="warning"><b>Never switch the machine off while the wait window reads \u201cUpdating ...\u201d.</b>
An interrupted or wrong update can leave a device unusable.</p>
<h2>Before you start</h2>
<ul>
<li>The machine runs on stable power; nobody uses it during the update.</li>
<li>Lanzo.exe lies in a folder you can write to (the desktop, for instance). Start only one copy.</li>
</ul>
<h2>Steps</h2>
<ol>
{steps}
</ol>
<h2>Messages and what to do</h2>
<table>
<tr><th>The box says</th><th>It means</th><th>What to do</th></tr>
{rows}
</table>
</body>
</html>
"""


def main():
    if len(sys.argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    folder, out = Path(sys.argv[1]), Path(sys.argv[2])
    facts, samples = read_manifest(Path(sys.argv[3]) if len(sys.argv) == 4 else None)
    missing = [s for s in SHOTS if not (folder / f"{s}.png").is_file()]
    if missing:
        print(f"guide: screenshots missing in {folder}: {', '.join(missing)}", file=sys.stderr)
        return 1
    out.write_text(page(folder, facts, samples), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
