// The sites (page origins) the user allowed to list tokens and certificates
// and to read certificates. Kept in the extension's local storage under one
// key; a refusal is never stored. `area` is storage.local or a stand-in
// with the same get/set.
const KEY = "approved_sites";

export function createApprovals(area) {
  async function all() {
    const stored = (await area.get(KEY))[KEY];
    return stored && typeof stored === "object" ? stored : {};
  }
  return {
    async isApproved(origin) {
      return Object.hasOwn(await all(), origin);
    },
    async approve(origin) {
      const sites = await all();
      sites[origin] = { approved_at: new Date().toISOString() };
      await area.set({ [KEY]: sites });
    },
    async revoke(origin) {
      const sites = await all();
      delete sites[origin];
      await area.set({ [KEY]: sites });
    },
    // [{origin, approved_at}], sorted by origin.
    async list() {
      const sites = await all();
      return Object.keys(sites)
        .sort()
        .map((origin) => ({ origin, approved_at: sites[origin].approved_at }));
    },
  };
}
