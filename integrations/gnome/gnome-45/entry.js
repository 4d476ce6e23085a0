// >>> entry
export default class TelvaneExtension extends Extension {
    enable() {
        this._indicator = new TelvaneIndicator();
        Main.panel.addToStatusArea('telvane', this._indicator);
    }

    disable() {
        this._indicator.destroy();
        this._indicator = null;
    }
}
// <<< entry
