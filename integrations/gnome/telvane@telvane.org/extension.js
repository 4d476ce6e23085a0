/* Telvane in the GNOME top bar: one label per entry that telvane-widget
 * shows, and a menu with each whole value, its smallest and largest value
 * of the last 24 hours, and its age.
 *
 * Everything shown comes from `telvane-widget --follow --format json`, run
 * as a child: it hears Telvane's reload signal, reads the store and prints a
 * line only when something changed (at most four a second, and once per
 * tick for the ages), so the shell never polls and never opens the store.
 *
 * Written as the GNOME 43/44 extension; the GNOME 45+ variant is made from
 * this file at build time (integrations/gnome/CMakeLists.txt), with the
 * parts between the ">>>" and "<<<" markers replaced by their ES-module
 * forms and the rest the same word for word. */
'use strict';

// >>> imports
const {Clutter, Gio, GLib, GObject, Pango, Shell, St} = imports.gi;
const Main = imports.ui.main;
const PanelMenu = imports.ui.panelMenu;
const PopupMenu = imports.ui.popupMenu;
// <<< imports

const COMMAND = ['telvane-widget', '--follow', '--format', 'json', '--history', '24h'];
// A child that ends (killed, crashed, or not installed) is started
// again after a pause: never in a tight loop.
const RESTART_SECONDS = 5;
// The bar cuts each value as telvane-widget's own bars do (--max-length);
// the menu shows values whole up to a bound that keeps a payload of
// megabytes from being laid out in the shell.
const BAR_CHARACTERS = 40;
const MENU_CHARACTERS = 500;
// The bar's share of the primary monitor's width, so that the clock and the
// system menu keep their room on any screen.
const BAR_WIDTH_SHARE = 0.3;
const ELLIPSIS = '\u2026';
const NO_VALUE = '\u2013';

// Values come from any MQTT publisher: one line, no control characters, at
// most `maxCharacters` code points with "…" when cut. St labels are plain
// text, so "<b>" and "&" stay what they are.
function plainText(text, maxCharacters) {
    const line = String(text ?? '').replace(/\r\n|[\u0000-\u001f\u007f-\u009f\u2028\u2029]/g, ' ');
    if (line.length <= maxCharacters)
        return line;
    // A code point is at most two UTF-16 units: this slice holds more than
    // maxCharacters of them whenever the whole line does.
    const characters = Array.from(line.slice(0, 2 * maxCharacters));
    if (characters.length <= maxCharacters)
        return characters.join('');
    return characters.slice(0, maxCharacters - 1).join('') + ELLIPSIS;
}

function entryText(entry, maxCharacters) {
    const label = plainText(entry.label, maxCharacters);
    const value = plainText(entry.text ?? NO_VALUE, maxCharacters);
    return label ? `${label}: ${value}` : value;
}

// "24 h: min 17.2 · max 21.5", or '' for an entry without kept values.
function rangeText(entry) {
    const {historyMin: min, historyMax: max} = entry;
    if (typeof min !== 'number' || typeof max !== 'number')
        return '';
    return `24 h: min ${min} \u00b7 max ${max}`;
}

// What the bar and the menu show when there is no snapshot to show: the
// child's words for an unreadable store, with our reason.
function errorSnapshot(reason) {
    return {state: 'error', text: 'Telvane: Fehler', reason, entries: []};
}

function parseSnapshot(line) {
    try {
        const snapshot = JSON.parse(line);
        if (snapshot && typeof snapshot === 'object' && Array.isArray(snapshot.entries))
            return snapshot;
    } catch (e) {
        // reported below
    }
    return errorSnapshot(`Unlesbare Ausgabe von telvane-widget: ${plainText(line, 80)}`);
}

function setText(label, text) {
    if (label.text !== text)
        label.text = text;
}

function setStale(actor, stale) {
    if (stale)
        actor.add_style_class_name('telvane-stale');
    else
        actor.remove_style_class_name('telvane-stale');
}

// Telvane brings its running window up when it is started again, so
// starting it is right whether it runs or not.
function openTelvane() {
    try {
        const app = Shell.AppSystem.get_default().lookup_app('telvane.desktop');
        if (app)
            app.activate();
        else
            Gio.Subprocess.new(['telvane'], Gio.SubprocessFlags.NONE);
    } catch (e) {
        Main.notifyError('Telvane lässt sich nicht öffnen', e.message);
    }
}

// Runs the child and hands each line it prints to `onLine`, or why it could
// not start to `onFailure`; starts it again RESTART_SECONDS after it ends.
// stop() leaves no process, pending read or timer behind, so a disable
// followed by an enable runs one child, not two.
class WidgetFollower {
    constructor(onLine, onFailure) {
        this._onLine = onLine;
        this._onFailure = onFailure;
        this._process = null;
        this._cancellable = null;
        this._restartId = 0;
    }

    start() {
        this._restartId = 0;
        try {
            this._process = Gio.Subprocess.new(COMMAND, Gio.SubprocessFlags.STDOUT_PIPE);
        } catch (e) {
            this._onFailure(e.message);
            this._ended();
            return;
        }
        this._cancellable = new Gio.Cancellable();
        const stream = new Gio.DataInputStream({base_stream: this._process.get_stdout_pipe()});
        this._readLine(stream, this._cancellable, true);
    }

    stop() {
        if (this._restartId)
            GLib.source_remove(this._restartId);
        this._restartId = 0;
        this._stopProcess();
    }

    // A child that ends before its first line (one too old for these
    // options, say) is reported, not shown as if all were well.
    _readLine(stream, cancellable, first) {
        stream.read_line_async(GLib.PRIORITY_DEFAULT, cancellable, (source, result) => {
            let bytes = null;
            try {
                [bytes] = source.read_line_finish(result);
            } catch (e) {
                // cancelled by stop(), or the pipe failed: the child is done either way
            }
            if (cancellable.is_cancelled())
                return;
            if (bytes === null) {
                if (first)
                    this._onFailure('beendet ohne Ausgabe');
                this._ended();
                return;
            }
            this._onLine(new TextDecoder().decode(bytes));
            this._readLine(stream, cancellable, false);
        });
    }

    _ended() {
        this._stopProcess();
        this._restartId = GLib.timeout_add_seconds(GLib.PRIORITY_DEFAULT, RESTART_SECONDS, () => {
            this.start();
            return GLib.SOURCE_REMOVE;
        });
    }

    // SIGTERM ends telvane-widget at once; GSubprocess reaps it.
    _stopProcess() {
        this._cancellable?.cancel();
        this._cancellable = null;
        this._process?.send_signal(15);
        this._process = null;
    }
}

// One menu row: the whole value (wrapped), then its 24 hour range and its
// age. Rows do nothing when clicked, yet stay reactive: St greys a
// non-reactive actor, and grey is kept for stale values.
const EntryItem = GObject.registerClass(
class TelvaneEntryItem extends PopupMenu.PopupBaseMenuItem {
    _init() {
        super._init({activate: false, hover: false, can_focus: false, style_class: 'telvane-entry'});
        this._text = new St.Label({style_class: 'telvane-entry-text', x_expand: true});
        this._text.clutter_text.line_wrap = true;
        this._text.clutter_text.line_wrap_mode = Pango.WrapMode.WORD_CHAR;
        this._text.clutter_text.ellipsize = Pango.EllipsizeMode.NONE;
        this._range = new St.Label({style_class: 'telvane-entry-range', y_align: Clutter.ActorAlign.START});
        this._age = new St.Label({style_class: 'telvane-entry-age', y_align: Clutter.ActorAlign.START});
        this.add_child(this._text);
        this.add_child(this._range);
        this.add_child(this._age);
        this.label_actor = this._text;
    }

    update(text, range, age, stale) {
        setText(this._text, text);
        setText(this._range, range);
        this._range.visible = range !== '';
        setText(this._age, age);
        setStale(this, stale);
    }
});

const TelvaneIndicator = GObject.registerClass(
class TelvaneIndicator extends PanelMenu.Button {
    _init() {
        super._init(0.0, 'Telvane');
        this._bar = new St.BoxLayout({style_class: 'telvane-bar', y_align: Clutter.ActorAlign.CENTER});
        this.add_child(this._bar);
        this._barLabels = [];

        this._entries = new PopupMenu.PopupMenuSection();
        this._entryItems = [];
        this.menu.addMenuItem(this._entries);
        this.menu.addMenuItem(new PopupMenu.PopupSeparatorMenuItem());
        const open = new PopupMenu.PopupMenuItem('Telvane öffnen');
        open.connect('activate', openTelvane);
        this.menu.addMenuItem(open);

        this._monitorsChangedId = Main.layoutManager.connect('monitors-changed', () => this._fitBar());
        this._fitBar();
        this._show({state: 'empty', text: 'Telvane', reason: '', entries: []});
        this._follower = new WidgetFollower(line => this._show(parseSnapshot(line)),
            message => this._show(errorSnapshot(`telvane-widget lässt sich nicht starten: ${message}`)));
        this._follower.start();
    }

    _onDestroy() {
        this._follower.stop();
        Main.layoutManager.disconnect(this._monitorsChangedId);
        super._onDestroy();
    }

    _fitBar() {
        const monitor = Main.layoutManager.primaryMonitor;
        if (!monitor)
            return;
        const scale = St.ThemeContext.get_for_stage(global.stage).scale_factor;
        this._bar.style = `max-width: ${Math.floor(monitor.width / scale * BAR_WIDTH_SHARE)}px;`;
    }

    _show(snapshot) {
        const entries = snapshot.entries;
        if (entries.length === 0) {
            this._showBar([{text: plainText(snapshot.text, BAR_CHARACTERS), stale: false}]);
            this._showMenu([{
                text: plainText(snapshot.reason || snapshot.text, MENU_CHARACTERS),
                range: '',
                age: '',
                stale: false,
            }]);
            return;
        }
        this._showBar(entries.map(entry => ({text: entryText(entry, BAR_CHARACTERS), stale: entry.stale === true})));
        this._showMenu(entries.map(entry => ({
            text: entryText(entry, MENU_CHARACTERS),
            range: rangeText(entry),
            age: plainText(entry.ageText, BAR_CHARACTERS),
            stale: entry.stale === true,
        })));
    }

    // Labels are kept and changed in place: a new line costs a text change,
    // not new actors.
    _showBar(parts) {
        while (this._barLabels.length > parts.length)
            this._barLabels.pop().destroy();
        while (this._barLabels.length < parts.length) {
            const label = new St.Label({y_align: Clutter.ActorAlign.CENTER});
            label.clutter_text.ellipsize = Pango.EllipsizeMode.END;
            this._bar.add_child(label);
            this._barLabels.push(label);
        }
        parts.forEach((part, i) => {
            setText(this._barLabels[i], part.text);
            setStale(this._barLabels[i], part.stale);
        });
    }

    _showMenu(rows) {
        while (this._entryItems.length > rows.length)
            this._entryItems.pop().destroy();
        while (this._entryItems.length < rows.length) {
            const item = new EntryItem();
            this._entries.addMenuItem(item);
            this._entryItems.push(item);
        }
        rows.forEach((row, i) => this._entryItems[i].update(row.text, row.range, row.age, row.stale));
    }
});

// >>> entry
class Extension {
    enable() {
        this._indicator = new TelvaneIndicator();
        Main.panel.addToStatusArea('telvane', this._indicator);
    }

    disable() {
        this._indicator.destroy();
        this._indicator = null;
    }
}

function init() {
    return new Extension();
}
// <<< entry
