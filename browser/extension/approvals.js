// The sites (page origins) the user allowed to see their tokens and
// certificates. Each site is its own key in the extension's local storage,
// so approving one site while another is revoked (the options page and the
// background write from different pages) loses neither: there is no shared
// value to read, change and write back. A refusal is never stored. `area`
// is storage.local or a stand-in with the same get/set/remove.
const PREFIX = "site:";

export function createApprovals(area) {
  return {
    async isApproved(origin) {
      const key = PREFIX + origin;
      return (await area.get(key))[key] !== undefined;
    },
    async approve(origin) {
      await area.set({ [PREFIX + origin]: { approved_at: new Date().toISOString() } });
    },
    async revoke(origin) {
      await area.remove(PREFIX + origin);
    },
    // [{origin, approved_at}], sorted by origin.
    async list() {
      const all = await area.get(null);
      return Object.keys(all)
        .filter((key) => key.startsWith(PREFIX))
        .map((key) => ({ origin: key.slice(PREFIX.length), approved_at: all[key].approved_at }))
        .sort((a, b) => (a.origin < b.origin ? -1 : a.origin > b.origin ? 1 : 0));
    },
  };
}
