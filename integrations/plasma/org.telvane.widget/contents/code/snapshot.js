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
    return { ok: false, digest: "", state: "error", text: text, reason: reason, now: 0, entries: [] };
}

// The kept values as [[unixTime, value], ...], each a pair of finite
// numbers; anything else is left out. Empty without --history.
function historyOf(raw) {
    if (!Array.isArray(raw)) {
        return [];
    }
    return raw.filter(point => Array.isArray(point) && point.length >= 2
                               && Number.isFinite(point[0]) && Number.isFinite(point[1]));
}

function entryOf(raw) {
    const label = oneLine(raw.label);
    const value = oneLine(raw.text);
    const history = historyOf(raw.history);
    const hasRange = history.length > 0 && Number.isFinite(raw.historyMin) && Number.isFinite(raw.historyMax);
    return {
        label: label,
        value: value,
        line: label.length > 0 ? label + ": " + value : value,
        ageText: oneLine(raw.ageText),
        stale: raw.stale === true,
        history: hasRange ? history : [],
        historyMin: hasRange ? raw.historyMin : 0,
        historyMax: hasRange ? raw.historyMax : 0,
        // Numbers as telvane-widget writes values: "min 17.2 · max 21.5".
        rangeText: hasRange ? "min " + raw.historyMin + " \u00b7 max " + raw.historyMax : ""
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
        now: Number.isFinite(printed.now) ? printed.now : 0,
        entries: printed.entries.map(entryOf)
    };
}
