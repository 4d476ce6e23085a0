.pragma library

// What the applet shows, from one run of telvane-widget's json format. The
// store's rules (entries, values, staleness, ages, German state texts) stay
// in that program; here texts are only made fit for one line.

// Line breaks and other control characters would make a panel line two
// lines high or read as commands; they become spaces, as in telvane-widget's
// bar formats.
function oneLine(text) {
    return String(text === undefined || text === null ? "" : text)
        .replace(/\r\n|[\u0000-\u001f\u007f-\u009f\u2028\u2029]/g, " ");
}

function failed(text, reason) {
    return { ok: false, digest: "", state: "error", text: text, reason: reason, entries: [] };
}

function entryOf(raw) {
    const label = oneLine(raw.label);
    const value = oneLine(raw.text);
    return {
        label: label,
        value: value,
        line: label.length > 0 ? label + ": " + value : value,
        ageText: oneLine(raw.ageText),
        stale: raw.stale === true
    };
}

// `data` is what the executable engine reports for one run: "exit code",
// "stdout", "stderr". `ok` is false when the run failed; the digest is the
// one to wait on next, checked because it goes into a command line.
function parse(data) {
    if (data["exit code"] === 127) {
        return failed("Telvane: telvane-widget fehlt",
                      "Das Programm telvane-widget ist nicht installiert oder nicht im PATH.");
    }
    if (data["exit code"] !== 0) {
        return failed("Telvane: Fehler", oneLine("telvane-widget endete mit Status " + data["exit code"] + ": "
                                                 + String(data["stderr"]).trim()));
    }
    let printed;
    try {
        printed = JSON.parse(data["stdout"]);
    } catch (error) {
        return failed("Telvane: Fehler", "telvane-widget hat nichts Lesbares ausgegeben.");
    }
    if (printed === null || typeof printed !== "object" || !Array.isArray(printed.entries)
            || !/^[0-9a-f]{16}$/.test(printed.digest)) {
        return failed("Telvane: Fehler", "telvane-widget hat nichts Lesbares ausgegeben.");
    }
    return {
        ok: true,
        digest: printed.digest,
        state: oneLine(printed.state),
        text: oneLine(printed.text),
        reason: oneLine(printed.reason),
        entries: printed.entries.map(entryOf)
    };
}
