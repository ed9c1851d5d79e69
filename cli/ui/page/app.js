// SPDX-License-Identifier: MIT
// The page of dupfind --ui. Everything from the files (paths, text) goes
// into the page as text (textContent), never as markup.
"use strict";

const PAGE_SIZE = 50;
const pageId = Array.from(crypto.getRandomValues(new Uint8Array(12)), (b) => b.toString(16).padStart(2, "0")).join("");
const state = { groups: [], keep: new Map(), shown: PAGE_SIZE, plan: null, folders: [] };

const $ = (id) => document.getElementById(id);

function el(tag, props, children) {
  const e = document.createElement(tag);
  if (props) for (const [k, v] of Object.entries(props)) {
    if (k === "text") e.textContent = v;
    else if (k === "cls") e.className = v;
    else e.setAttribute(k, v);
  }
  for (const c of children || []) e.append(c);
  return e;
}

function size(bytes) {
  const units = ["bytes", "KiB", "MiB", "GiB", "TiB"];
  let v = bytes, u = 0;
  while (v >= 1024 && u < units.length - 1) { v /= 1024; u++; }
  return u === 0 ? `${bytes} bytes` : `${v.toFixed(1)} ${units[u]}`;
}

function when(seconds) {
  return seconds ? new Date(seconds * 1000).toLocaleString() : "unknown";
}

function say(text) { $("status").textContent = text; }

async function post(path, body) {
  return fetch(path, { method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) });
}

// ---- scanning --------------------------------------------------------------

async function poll() {
  let s;
  try {
    const r = await fetch(`/api/state?page=${pageId}`);
    if (!r.ok) { say(`dupfind answered: ${(await r.text()).trim()}`); return; }
    s = await r.json();
  } catch (e) {
    say("dupfind does not answer any more: it has ended.");
    return;
  }
  $("stage").textContent = s.stage;
  $("percent").textContent = s.progress;
  $("bar").value = s.progress;
  $("elapsed").textContent = s.elapsed.toFixed(1);
  if (s.phase === "scanning") {
    say(`Scanning: ${s.stage}, ${s.progress}%`);
    setTimeout(poll, 500);
    return;
  }
  $("cancel").disabled = true;
  if (s.phase === "ready") {
    await loadGroups();
  } else {
    say(s.phase === "cancelled" ? "The scan was cancelled." : `The scan failed: ${s.error}`);
  }
  // Tells dupfind that the page is still open.
  setInterval(() => fetch(`/api/state?page=${pageId}`).catch(() => {}), 20000);
}

$("cancel").addEventListener("click", async () => {
  $("cancel").disabled = true;
  await post("/api/cancel", {});
  say("Cancelling…");
});

window.addEventListener("pagehide", () => {
  fetch("/api/bye", { method: "POST", keepalive: true, headers: { "Content-Type": "application/json" },
                      body: JSON.stringify({ page: pageId }) }).catch(() => {});
});

// ---- groups ----------------------------------------------------------------

async function loadGroups() {
  const r = await fetch("/api/groups");
  if (!r.ok) { say(`dupfind answered: ${(await r.text()).trim()}`); return; }
  const data = await r.json();
  state.groups = data.groups;
  state.keep = new Map(data.groups.map((g) => [g.index, g.keep.length ? g.keep[0] : null]));
  state.folders = data.folders;
  state.roots = data.roots;
  $("scan").hidden = true;
  $("results").hidden = false;
  $("totals").textContent = `${data.groups.length} groups of duplicates among ${data.scanned} files; ` +
    `${size(data.reclaimable)} can be freed by removing every copy but one.`;
  drawChart(data.folders);
  fillRuleFolders();
  drawGroups();
  say(`${data.groups.length} groups found.`);
}

function drawChart(folders) {
  const chart = $("chart");
  chart.replaceChildren();
  const top = folders.slice(0, 8);
  const most = top.length ? top[0].bytes : 1;
  for (const f of top) {
    const bar = el("span", { cls: "bar" });
    bar.style.width = `${Math.max(2, Math.round((100 * f.bytes) / most))}%`;
    chart.append(el("div", { cls: "row" }, [el("span", { cls: "folder", text: f.folder }),
                                            el("span", { cls: "track" }, [bar]),
                                            el("span", { cls: "bytes", text: size(f.bytes) })]));
  }
}

// The folders of the rule: each DIR, and every folder below one that holds
// a file of a group.
function fillRuleFolders() {
  const folders = new Set(state.roots);
  for (const g of state.groups) for (const f of g.files) {
    const root = state.roots.find((r) => f.path.startsWith(r.endsWith("/") ? r : `${r}/`));
    if (!root) continue;
    let dir = f.path.slice(0, f.path.lastIndexOf("/"));
    while (dir.length > root.length) {
      folders.add(dir);
      dir = dir.slice(0, dir.lastIndexOf("/"));
    }
  }
  const select = $("rule-folder");
  select.replaceChildren(...Array.from(folders).sort().map((f) => el("option", { value: f, text: f })));
}

$("rule-apply").addEventListener("click", () => {
  const folder = $("rule-folder").value;
  if (!folder) return;
  const prefix = folder.endsWith("/") ? folder : `${folder}/`;
  let changed = 0;
  for (const g of state.groups) {
    const f = g.files.find((x) => !x.gone && x.path.startsWith(prefix));
    if (f) { state.keep.set(g.index, f.index); changed++; }
  }
  drawGroups();
  say(`Keeping the files below ${folder} in ${changed} groups.`);
});

function visibleGroups() {
  const text = $("filter").value.toLowerCase();
  return state.groups.filter((g) => g.files.filter((f) => !f.gone).length > 1 &&
    (!text || g.files.some((f) => f.path.toLowerCase().includes(text))));
}

$("filter").addEventListener("input", () => { state.shown = PAGE_SIZE; drawGroups(); });
$("more").addEventListener("click", () => { state.shown += PAGE_SIZE; drawGroups(); });

function noPreview() { return el("div", { cls: "none", text: "no preview" }); }

function preview(g, f) {
  const q = `group=${g.index}&file=${f.index}`;
  if (f.preview === "image") {
    // dupfind refuses a file whose bytes are not the image its name says.
    const img = el("img", { src: `/api/media?${q}`, alt: `preview of ${f.path}`, cls: "thumb" });
    img.addEventListener("error", () => img.replaceWith(noPreview()));
    return img;
  }
  if (f.preview === "audio") return el("audio", { src: `/api/media?${q}`, controls: "", preload: "none" });
  if (f.preview === "video") return el("video", { src: `/api/media?${q}`, controls: "", preload: "metadata", cls: "thumb" });
  if (f.preview === "text") {
    const pre = el("pre", { cls: "text" });
    fetch(`/api/text?${q}`).then((r) => (r.ok ? r.text() : "")).then((t) => { pre.textContent = t; });
    return pre;
  }
  return noPreview();
}

function drawGroups() {
  const list = $("groups");
  list.replaceChildren();
  const groups = visibleGroups();
  for (const g of groups.slice(0, state.shown)) {
    const files = g.files.filter((f) => !f.gone);
    const section = el("section", { cls: "group", "aria-label": `group ${g.index + 1}` }, [
      el("h3", { text: `${files.length} files of ${size(g.size)}` })]);
    const row = el("div", { cls: "files", role: "radiogroup", "aria-label": `which file of group ${g.index + 1} to keep` });
    for (const f of files) {
      const id = `keep-${g.index}-${f.index}`;
      const radio = el("input", { type: "radio", name: `keep-${g.index}`, id, value: String(f.index) });
      radio.checked = state.keep.get(g.index) === f.index;
      radio.addEventListener("change", () => { state.keep.set(g.index, f.index); drawMarks(section, g); });
      const marks = el("span", { cls: "marks" });
      const card = el("div", { cls: "file", "data-file": String(f.index) }, [
        preview(g, f),
        el("p", { cls: "path", text: f.path }),
        el("p", { cls: "facts", text: `${size(g.size)} · modified ${when(f.mtime)}` }),
        el("label", { for: id }, [radio, " keep this one "]), marks]);
      row.append(card);
    }
    section.append(row);
    list.append(section);
    drawMarks(section, g);
  }
  $("more").hidden = groups.length <= state.shown;
}

function drawMarks(section, g) {
  for (const card of section.querySelectorAll(".file")) {
    const f = g.files[Number(card.dataset.file)];
    const kept = state.keep.get(g.index) === f.index;
    card.classList.toggle("kept", kept);
    const words = [];
    if (f.reference) words.push("reference (always kept)");
    if (kept) words.push("kept");
    card.querySelector(".marks").textContent = words.join(", ");
  }
}

// ---- plan and outcome ----------------------------------------------------

// The plan covers the groups that the filter shows, on every page of them.
function request() {
  const groups = [];
  for (const g of visibleGroups()) {
    const k = state.keep.get(g.index);
    if (k !== null && k !== undefined && g.files.filter((f) => !f.gone).length > 1) groups.push({ group: g.index, keep: [k] });
  }
  return { action: $("action").value, groups };
}

// For each action: what was done, its button, what the plan would do.
const VERBS = { delete: ["removed", "Delete", "to remove"],
                link: ["replaced by a hard link", "Hard-link", "to replace by a hard link"],
                reflink: ["made to share extents", "Reflink", "to share extents"] };

function show(section) {
  for (const id of ["results", "plan", "outcome"]) $(id).hidden = id !== section;
}

$("show-plan").addEventListener("click", async () => {
  const req = request();
  const r = await post("/api/plan", req);
  if (!r.ok) { say(`dupfind refused the plan: ${(await r.text()).trim()}`); return; }
  const plan = await r.json();
  state.plan = req;
  const [verb, button, planned] = VERBS[req.action];
  const list = $("plan-files");
  list.replaceChildren();
  for (const f of plan.files) {
    if (f.outcome === "keep") continue;
    const text = f.outcome === "act" ? `${planned}: ${f.path}` : `left as it is: ${f.path} (${f.note})`;
    list.append(el("li", { cls: f.outcome, text }));
  }
  const skipped = visibleGroups().length - req.groups.length;
  const hidden = state.groups.length - visibleGroups().length;
  $("plan-summary").textContent = `${plan.count} files would be ${verb}, freeing ${size(plan.freed)}` +
    (skipped > 0 ? `; ${skipped} groups without a file chosen to keep are left as they are` : "") +
    (hidden > 0 ? `; ${hidden} groups that the filter hides are left as they are` : "") + ".";
  $("apply").textContent = `${button} ${plan.count} files`;
  $("apply").disabled = plan.count === 0;
  show("plan");
  $("plan-title").focus();
  say("The plan is ready: nothing has been changed yet.");
});

$("back").addEventListener("click", () => { show("results"); $("show-plan").focus(); });

$("apply").addEventListener("click", async () => {
  $("apply").disabled = true;
  const r = await post("/api/apply", state.plan);
  if (!r.ok) { say(`dupfind refused: ${(await r.text()).trim()}`); $("apply").disabled = false; return; }
  const out = await r.json();
  const [verb] = VERBS[state.plan.action];
  const list = $("outcome-files");
  list.replaceChildren();
  for (const f of out.files) {
    if (f.outcome === "keep") continue;
    const text = f.outcome === "done" ? `${verb}: ${f.path}` : `left: ${f.path} (${f.note})`;
    list.append(el("li", { cls: f.outcome, text }));
  }
  // The problems are counted only when there are some, as the tool does.
  const left = out.left > 0 ? `; ${out.left} left because of a problem` : "";
  $("outcome-summary").textContent = `${out.count} ${out.count === 1 ? "file" : "files"} ${verb}, ${size(out.freed)} freed${left}.`;
  show("outcome");
  $("outcome-title").focus();
  say("Done.");
});

$("again").addEventListener("click", async () => { await loadGroups(); show("results"); });

poll();
