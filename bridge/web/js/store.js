// The page's state in one object; every change goes through set(), which renders each view
// from the whole state again.
export function createStore(initial) {
    const state = { ...initial };
    const views = [];
    return {
        state,
        set(patch) {
            Object.assign(state, patch);
            for (const view of views) view(state);
        },
        // view(state) draws its part of the page; it is called now and after every change.
        watch(view) {
            views.push(view);
            view(state);
        },
    };
}
