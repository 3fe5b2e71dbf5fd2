#include "tools/view_page.h"

namespace tool {

const char* ViewPage() {
    return R"page(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>bayercam view</title>
<style>
  body { margin: 0; font: 14px/1.4 system-ui, sans-serif; background: #f4f4f2; color: #222; }
  header { padding: 8px 16px; background: #263238; color: #eceff1; }
  h1 { display: inline; font-size: 16px; margin-right: 16px; }
  #status { font-variant-numeric: tabular-nums; }
  #status.bad { color: #ffab91; }
  main { display: flex; flex-wrap: wrap; gap: 16px; padding: 16px; align-items: flex-start; }
  #video img { display: block; background: #000; min-width: 328px; min-height: 247px;
               max-width: 100%; box-shadow: 0 1px 4px #0004; }
  #panel { flex: 1; min-width: 420px; }
  fieldset { border: 1px solid #ccc; border-radius: 4px; margin: 0 0 12px; padding: 6px 10px;
             background: #fff; }
  legend { font-weight: 600; }
  .row { display: grid; grid-template-columns: 9.5em minmax(0, 1fr) 6.5em; gap: 8px; align-items: center;
         padding: 2px 0; }
  .row .widgets { display: flex; gap: 6px; align-items: center; }
  .row input[type=range] { flex: 1; }
  .row input[type=number] { width: 6em; }
  .row input.part { width: 3.8em; }
  .row input[type=text] { flex: 1; font-family: monospace; }
  output { font-variant-numeric: tabular-nums; color: #555; text-align: right; }
  #message { min-height: 1.4em; padding: 4px 0; }
  #message.bad { color: #b71c1c; }
</style>
</head>
<body>
<header><h1>bayercam view</h1><span id="status" title="driver CPU: the whole program's CPU time per frame without the JPEG encoding, so also the simulated camera's rendering">connecting...</span></header>
<main>
  <section id="video"><img id="live" src="/stream.mjpg" alt="live video from the camera"></section>
  <section id="panel">
    <div id="message" role="status"></div>
    <form id="controls" onsubmit="return false">
      <fieldset data-group="image"><legend>Image</legend></fieldset>
      <fieldset data-group="switches"><legend>Switches</legend></fieldset>
      <fieldset data-group="region"><legend>Region of interest</legend></fieldset>
      <fieldset data-group="camera"><legend>Camera</legend></fieldset>
    </form>
  </section>
</main>
<script>
'use strict';
const $ = (id) => document.getElementById(id);
const rows = new Map();  // control name -> function showing a state
const groups = {slider: 'image', check: 'switches', region: 'region'};

function say(text, bad) {
  $('message').textContent = text;
  $('message').className = bad ? 'bad' : '';
}

// Every change goes to the driver; what the page shows afterwards is what a get returns.
async function send(name, value) {
  const body = new URLSearchParams();
  if (value !== undefined) body.set('value', value);
  try {
    const answer = await fetch('/api/props/' + encodeURIComponent(name),
                               {method: 'POST', body});
    const text = await answer.text();
    if (answer.ok) say(JSON.parse(text).message, false);
    else say(text.trim(), true);
  } catch (e) {
    say(name + ': ' + e, true);
  }
  await refresh();
}

function input(type, id, attributes) {
  const e = document.createElement('input');
  e.type = type;
  e.id = id;
  for (const [k, v] of Object.entries(attributes || {})) e.setAttribute(k, v);
  return e;
}

function button(text, id, onClick) {
  const b = document.createElement('button');
  b.type = 'button';
  b.id = id;
  b.textContent = text;
  b.addEventListener('click', onClick);
  return b;
}

function readout(state) {
  if (state.kind === 'region')
    return state.imageWidth ? state.imageWidth + ' x ' + state.imageHeight : 'no image';
  if ('byte' in state) return 'byte ' + state.byte;
  if ('value' in state) return String(state.value);
  return state.readable ? 'get fails' : '';
}

function widgets(c, box) {
  const n = c.name;
  switch (c.kind) {
    case 'slider': {
      const range = input('range', n + '-range', {min: c.min, max: c.max, step: 1});
      const number = input('number', n + '-number');
      range.addEventListener('input', () => { number.value = range.value; });
      range.addEventListener('change', () => send(n, range.value));
      number.addEventListener('change', () => send(n, number.value));
      box.append(range, number,
                 button('default', n + '-default', () => send(n, String(c.default))));
      return (s) => { if ('value' in s) range.value = number.value = s.value; };
    }
    case 'check': {
      const check = input('checkbox', n + '-check');
      check.addEventListener('change', () => send(n, check.checked ? '1' : '0'));
      box.append(check);
      return (s) => { if ('value' in s) check.checked = s.value !== 0; };
    }
    case 'region': {
      const parts = ['x', 'y', 'width', 'height'].map(
          (p) => input('number', n + '-' + p, {placeholder: p, title: p, class: 'part'}));
      box.append(...parts, button('apply', n + '-apply',
                                  () => send(n, parts.map((p) => p.value).join(','))));
      return (s) => {
        if (!parts[2].value && s.imageWidth) {
          parts[2].value = s.imageWidth;
          parts[3].value = s.imageHeight;
        }
      };
    }
    case 'pair': {
      const reg = input('number', n + '-register', {placeholder: 'register'});
      const value = input('number', n + '-data', {placeholder: 'value'});
      box.append(reg, value, button('write', n + '-write',
                                    () => send(n, reg.value + ',' + value.value)));
      return () => {};
    }
    case 'hex': {
      const bytes = input('text', n + '-bytes', {placeholder: 'hex bytes, e.g. 0102ff'});
      box.append(bytes, button('send', n + '-send', () => send(n, bytes.value)));
      return () => {};
    }
    case 'button':
      box.append(button(n, n + '-button', () => send(n)));
      return () => {};
    default: {
      const number = input('number', n + '-number');
      number.addEventListener('change', () => send(n, number.value));
      box.append(number);
      return (s) => { if ('value' in s) number.value = s.value; };
    }
  }
}

function addRow(c) {
  const set = document.querySelector('fieldset[data-group="' + (groups[c.kind] || 'camera') + '"]');
  const row = document.createElement('div');
  row.className = 'row';
  row.id = 'ctl-' + c.name;
  const label = Object.assign(document.createElement('label'), {textContent: c.name});
  const box = Object.assign(document.createElement('span'), {className: 'widgets'});
  const out = Object.assign(document.createElement('output'), {id: c.name + '-value'});
  const show = widgets(c, box);
  const first = box.querySelector('input, button');
  if (first) label.htmlFor = first.id;
  row.append(label, box, out);
  set.append(row);
  rows.set(c.name, (s) => {
    show(s);
    out.textContent = readout(s);
    out.title = s.readable ? 'what a get returns (' + (s.statusName || s.status) + ')' : '';
  });
}

async function refresh() {
  try {
    const list = (await (await fetch('/api/props')).json()).controls;
    for (const c of list) {
      if (!rows.has(c.name)) addRow(c);
      rows.get(c.name)(c);
    }
  } catch (e) {
    say('the controls could not be read: ' + e, true);
  }
}

async function poll() {
  try {
    const s = await (await fetch('/api/status')).json();
    let text = s.frames + ' frames delivered, ' + s.dropped + ' dropped, ' +
               s.fps.toFixed(1) + ' frames/s, driver CPU ' +
               (s.cpuPerFrameUs / 1000).toFixed(2) + ' ms per frame, last picture ' + s.pictureNumber + ', ' +
               s.width + ' x ' + s.height;
    if (s.error) text += ' (stopped: ' + s.error + ')';
    $('status').textContent = text;
    $('status').className = s.error ? 'bad' : '';
  } catch (e) {
    $('status').textContent = 'bayercam view does not answer';
    $('status').className = 'bad';
  }
}

refresh();
poll();
setInterval(poll, 1000);
</script>
</body>
</html>
)page";
}

}  // namespace tool
