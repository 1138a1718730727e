"""A survey's gallery: one static HTML page over the thumbnails folder, working offline.

The page carries its data, style and script inline (nothing is fetched but
the pictures beside it, by relative path), so it opens from the file
system.  Each row shows the rule's picture and the thumbnail of its final
hypergraph, links to the rule's full record, and every column sorts (click
its heading) and filters (the box under it: text matches anywhere, numbers
take ``2``, ``>1.5``, ``<=3``, ``1..2.5``).
"""

from __future__ import annotations

import html
import json
from typing import Any, Dict, Mapping, Optional, Sequence

from .files import replaced
from .survey_table import plain

__all__ = ["write_gallery", "GALLERY_COLUMNS"]

#: (key, heading, kind) of the page's data columns, after the two pictures.
GALLERY_COLUMNS = (
    ("index", "#", "num"), ("rule", "rule", "text"), ("class", "class", "text"),
    ("vertices", "vertices", "num"), ("edges", "hyperedges", "num"), ("terminated", "terminated runs", "num"),
    ("terminated_at", "rewrites at end", "num"), ("applied", "applied", "num"),
    ("growth_exponent", "growth exponent", "num"), ("dimension", "dimension", "num"),
    ("curvature", "curvature", "num"), ("components", "components", "num"), ("status", "status", "text"),
)

_STYLE = """
body{font:14px/1.35 system-ui,sans-serif;margin:1em 1.5em;color:#222}
h1{font-size:1.4em;margin:.2em 0} p.meta{color:#555;margin:.2em 0 .8em}
table{border-collapse:collapse} th,td{border-bottom:1px solid #ddd;padding:3px 6px;vertical-align:middle}
thead th{position:sticky;background:#f4f5f7;z-index:1}
thead tr.heads th{top:0;cursor:pointer;user-select:none;white-space:nowrap}
thead tr.filters th{top:2.1em} thead input{width:6.5em;font-size:12px}
th[aria-sort=ascending]::after{content:" \\25B2"} th[aria-sort=descending]::after{content:" \\25BC"}
td.num{text-align:right;font-variant-numeric:tabular-nums}
td.rule{font-family:monospace;font-size:12px;white-space:nowrap}
td img{display:block;background:#fff;border:1px solid #eee} tr:hover td{background:#fafbff}
"""

_SCRIPT = r"""
(function(){
const data = JSON.parse(document.getElementById('survey-data').textContent);
const cols = data.columns, rows = data.rows;
const body = document.querySelector('#survey tbody');
const heads = document.querySelectorAll('#survey tr.heads th[data-key]');
const inputs = document.querySelectorAll('#survey tr.filters input');
let sortKey = 'index', sortDir = 1;
function fmt(v, kind){
  if (v === null || v === undefined) return '';
  if (kind === 'num' && typeof v === 'number' && !Number.isInteger(v))
    return Math.abs(v) >= 100 ? String(Math.round(v)) : v.toPrecision(3);
  return String(v);
}
function esc(s){ return s.replace(/[&<>"]/g, c => ({'&':'&amp;','<':'&lt;','>':'&gt;','"':'&quot;'}[c])); }
function numberTest(text){
  const t = text.replace(/\s+/g, '');
  let m = t.match(/^(-?[\d.eE+-]*)\.\.(-?[\d.eE+-]*)$/);
  if (m) { const lo = m[1] === '' ? -Infinity : +m[1], hi = m[2] === '' ? Infinity : +m[2];
           return v => v !== null && v >= lo && v <= hi; }
  m = t.match(/^(<=|>=|<|>|=)?(-?[\d.]+(?:[eE][+-]?\d+)?)$/);
  if (!m) return null;
  const x = +m[2];
  switch (m[1]) {
    case '<': return v => v !== null && v < x;   case '<=': return v => v !== null && v <= x;
    case '>': return v => v !== null && v > x;   case '>=': return v => v !== null && v >= x;
    default: return v => v !== null && Math.abs(v - x) <= 1e-9 * Math.max(1, Math.abs(x));
  }
}
function tests(){
  const out = [];
  inputs.forEach(input => {
    const text = input.value.trim(); if (!text) return;
    const key = input.dataset.key, kind = input.dataset.kind;
    if (kind === 'num') { const f = numberTest(text);
      if (f) { input.classList.remove('bad'); out.push(r => f(r[key])); }
      else { input.classList.add('bad'); } }
    else { const needle = text.toLowerCase(); out.push(r => String(r[key] ?? '').toLowerCase().includes(needle)); }
  });
  return out;
}
function compare(a, b){
  const x = a[sortKey], y = b[sortKey];
  if (x === null || x === undefined) return (y === null || y === undefined) ? a.index - b.index : 1;
  if (y === null || y === undefined) return -1;
  const c = (typeof x === 'number' && typeof y === 'number') ? x - y : String(x).localeCompare(String(y));
  return c !== 0 ? sortDir * c : a.index - b.index;
}
function row(r){
  // Each row is built once; sorting and filtering only move the rows already built.
  if (r.tr) return r.tr;
  let cells = '<td><img loading="lazy" width="180" height="75" alt="rule" src="' + esc(r.rule_picture || '') + '"></td>'
            + '<td><img loading="lazy" width="110" height="110" alt="final hypergraph" src="'
            + esc(r.final_picture || '') + '"></td>';
  for (const [key, , kind] of cols) {
    const text = esc(fmt(r[key], kind));
    if (key === 'rule') cells += '<td class="rule"><a href="' + esc(r.record) + '">' + text + '</a></td>';
    else cells += '<td class="' + (kind === 'num' ? 'num' : 'text') + '" data-key="' + key + '">' + text + '</td>';
  }
  const tr = document.createElement('tr');
  tr.dataset.index = r.index;
  tr.innerHTML = cells;
  r.tr = tr;
  return tr;
}
function render(){
  const keep = tests();
  const shown = rows.filter(r => keep.every(f => f(r)));
  shown.sort(compare);
  const fragment = document.createDocumentFragment();
  for (const r of shown) fragment.appendChild(row(r));
  body.replaceChildren(fragment);
  document.getElementById('shown').textContent = shown.length + ' of ' + rows.length + ' rules shown';
  heads.forEach(h => h.setAttribute('aria-sort',
    h.dataset.key === sortKey ? (sortDir > 0 ? 'ascending' : 'descending') : 'none'));
}
heads.forEach(h => h.addEventListener('click', () => {
  if (sortKey === h.dataset.key) sortDir = -sortDir; else { sortKey = h.dataset.key; sortDir = 1; }
  render();
}));
inputs.forEach(i => i.addEventListener('input', render));
render();
})();
"""


def write_gallery(path, rows: Sequence[Mapping[str, Any]], *, title: str, meta: Optional[Mapping[str, Any]] = None,
                  thresholds: Optional[Mapping[str, float]] = None) -> None:
    """Write the gallery page to ``path``.

    ``rows`` are dicts with the keys of :data:`GALLERY_COLUMNS` plus
    ``record``, ``rule_picture`` and ``final_picture``: paths relative to
    the page.  ``meta`` is shown under the title as ``key: value`` pairs.
    """
    data: Dict[str, Any] = {
        "columns": [list(c) for c in GALLERY_COLUMNS],
        "rows": [plain({k: r.get(k) for k in [c[0] for c in GALLERY_COLUMNS]
                        + ["record", "rule_picture", "final_picture"]}) for r in rows],
    }
    payload = json.dumps(data, separators=(",", ":")).replace("</", "<\\/")
    heads = "".join(
        f'<th data-key="{key}" data-kind="{kind}" aria-sort="none">{html.escape(heading)}</th>'
        for key, heading, kind in GALLERY_COLUMNS)
    filters = "".join(
        f'<th><input data-key="{key}" data-kind="{kind}" placeholder="{"2, >1.5, 1..3" if kind == "num" else "filter"}"'
        f' aria-label="filter {html.escape(heading)}"></th>' for key, heading, kind in GALLERY_COLUMNS)
    described = " &middot; ".join(f"{html.escape(str(k))}: {html.escape(str(v))}" for k, v in (meta or {}).items())
    legend = ""
    if thresholds:
        legend = ("<p class=meta>class thresholds: "
                  + ", ".join(f"{html.escape(k)} = {v:g}" for k, v in thresholds.items()) + "</p>")
    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{html.escape(title)}</title>
<style>{_STYLE}</style></head>
<body>
<h1>{html.escape(title)}</h1>
<p class=meta>{described}</p>{legend}
<p class=meta id="shown"></p>
<table id="survey"><thead>
<tr class="heads"><th>rule picture</th><th>final hypergraph</th>{heads}</tr>
<tr class="filters"><th></th><th></th>{filters}</tr>
</thead><tbody></tbody></table>
<script type="application/json" id="survey-data">{payload}</script>
<script>{_SCRIPT}</script>
</body></html>
"""
    with replaced(path) as fh:
        fh.write(page)
