// The curve editor on the Fans page: points dragged on the graph or typed beside it, added and
// removed, a preset loaded, the driving sensor picked; every change checked by the server's
// own rules (debounced) with the message shown at the point at fault; the live temperature
// and each fan's position marked on the graph. The start itself stays app.js's.
(function () {
  "use strict";
  var SVG = "http://www.w3.org/2000/svg";
  var editor, svg, table, frame, domain, texts = {}, points = [], timer = null, dragging = null;
  var token = (document.querySelector('meta[name="kilnview-token"]') || {}).content || "";
  var lang = document.documentElement.lang || "";

  function clamp(v, lo, hi) { return Math.min(hi, Math.max(lo, v)); }
  function toView(p) {
    return {
      x: frame[0] + (p.temperature - domain[0]) / (domain[1] - domain[0]) * frame[2],
      y: frame[1] + frame[3] - (p.percent - domain[2]) / (domain[3] - domain[2]) * frame[3]
    };
  }
  function fromView(x, y) {
    return {
      temperature: Math.round(clamp(domain[0] + (x - frame[0]) / frame[2] * (domain[1] - domain[0]), domain[0], domain[1])),
      percent: Math.round(clamp(domain[2] + (frame[1] + frame[3] - y) / frame[3] * (domain[3] - domain[2]), domain[2], domain[3]))
    };
  }
  function pointer(event) {
    var p = svg.createSVGPoint();
    p.x = event.clientX; p.y = event.clientY;
    return p.matrixTransform(svg.getScreenCTM().inverse());
  }

  function readTable() {
    points = [];
    var rows = table.tBodies[0].rows;
    for (var i = 0; i < rows.length; i++) {
      points.push({
        temperature: Number(rows[i].querySelector(".point-temperature").value),
        percent: Number(rows[i].querySelector(".point-percent").value)
      });
    }
  }

  function input(cls, value, label, min, max) {
    var node = document.createElement("input");
    node.type = "number"; node.step = "1"; node.className = cls; node.value = value;
    node.min = min; node.max = max;
    node.setAttribute("aria-label", label);
    return node;
  }

  // Rebuilds the rows after a point was added or removed, or a preset loaded.
  function writeTable() {
    var body = table.tBodies[0];
    while (body.firstChild) body.removeChild(body.firstChild);
    points.forEach(function (p, i) {
      var row = body.insertRow(), name = texts.point + " " + (i + 1);
      var head = document.createElement("th");
      head.scope = "row"; head.textContent = String(i + 1);
      row.appendChild(head);
      row.insertCell().appendChild(input("point-temperature", p.temperature, name + " · " + texts.temperature + " (°C)", domain[0], domain[1]));
      row.insertCell().appendChild(input("point-percent", p.percent, name + " · " + texts.fan + " (%)", domain[2], domain[3]));
      var remove = document.createElement("button");
      remove.type = "button"; remove.className = "point-remove"; remove.textContent = "×";
      remove.setAttribute("aria-label", texts.remove + " · " + name);
      row.insertCell().appendChild(remove);
      row.insertCell().className = "point-note";
    });
  }

  function drawCurve() {
    var line = [], handles = document.getElementById("curve-handles");
    while (handles.firstChild) handles.removeChild(handles.firstChild);
    points.forEach(function (p, i) {
      var at = toView(p);
      line.push(at.x.toFixed(1) + "," + at.y.toFixed(1));
      var c = document.createElementNS(SVG, "circle");
      c.setAttribute("class", "handle");
      c.setAttribute("r", "7");
      c.setAttribute("cx", at.x.toFixed(1));
      c.setAttribute("cy", at.y.toFixed(1));
      c.setAttribute("data-index", String(i));
      handles.appendChild(c);
    });
    document.getElementById("curve-line").setAttribute("points", line.join(" "));
  }

  function writeValues(index) {
    var row = table.tBodies[0].rows[index];
    row.querySelector(".point-temperature").value = points[index].temperature;
    row.querySelector(".point-percent").value = points[index].percent;
  }

  function request() {
    var body = { curve: { points: points, sensor: table.getAttribute("data-sensor") } };
    var duration = document.getElementById("curve-duration").value;
    if (duration !== "") body.durationSeconds = Number(duration);
    return body;
  }

  function mark(reply) {
    var rows = table.tBodies[0].rows, handles = document.querySelectorAll("#curve-handles .handle");
    for (var i = 0; i < rows.length; i++) {
      var bad = !reply.ok && reply.point === i;
      rows[i].querySelector(".point-note").textContent = bad ? reply.message : "";
      rows[i].classList.toggle("invalid", bad);
      var fields = rows[i].querySelectorAll("input");
      for (var j = 0; j < fields.length; j++) fields[j].setAttribute("aria-invalid", bad ? "true" : "false");
      if (handles[i]) handles[i].classList.toggle("invalid", bad);
    }
    var general = document.getElementById("curve-problem");
    general.textContent = !reply.ok && (reply.point === null || reply.point === undefined) ? reply.message : "";
    document.getElementById("curve-duration").setAttribute("aria-invalid", !reply.ok && reply.field === "duration" ? "true" : "false");
    editor.setAttribute("data-valid", reply.ok ? "true" : "false");
  }

  function check() {
    clearTimeout(timer);
    timer = setTimeout(function () {
      fetch("/api/fans/curve/check?lang=" + encodeURIComponent(lang), {
        method: "POST", credentials: "same-origin",
        headers: { "Content-Type": "application/json", "X-Kilnview-Token": token },
        body: JSON.stringify(request())
      }).then(function (r) { return r.json(); }).then(mark).catch(function () {});
    }, 150);
  }

  function changed(rebuild) {
    if (rebuild) writeTable();
    drawCurve();
    check();
  }

  function addPoint() {
    var at = 0, gap = -1;
    for (var i = 1; i < points.length; i++) {
      var g = points[i].temperature - points[i - 1].temperature;
      if (g > gap) { gap = g; at = i; }
    }
    if (points.length < 2) { points.push({ temperature: domain[0], percent: 0 }); return changed(true); }
    var a = points[at - 1], b = points[at];
    points.splice(at, 0, { temperature: Math.round((a.temperature + b.temperature) / 2), percent: Math.round((a.percent + b.percent) / 2) });
    changed(true);
  }

  function showRunning(state) {
    var running = document.getElementById("curve-running"), line = document.getElementById("curve-running-line");
    if (!state.leaseRunning) {
      running.hidden = true;
      if (line) line.setAttribute("visibility", "hidden");
    } else if (editor.getAttribute("data-starting") === "true") {
      // The curve this page just started: shown as the running one.
      editor.removeAttribute("data-starting");
      if (!line) {
        line = document.createElementNS(SVG, "polyline");
        line.id = "curve-running-line";
        line.setAttribute("class", "running");
        line.setAttribute("fill", "none");
        svg.insertBefore(line, document.getElementById("curve-now"));
      }
      line.setAttribute("points", document.getElementById("curve-line").getAttribute("points"));
      line.setAttribute("visibility", "visible");
      var label = document.getElementById("curve-label").value.trim();
      if (label) running.querySelector("strong").textContent = label;
      running.hidden = false;
    }
  }

  function live(state) {
    showRunning(state);
    var curve = state.curve || {}, now = document.getElementById("curve-now");
    var temperature = (curve.temperatures || {})[table.getAttribute("data-sensor")];
    var fans = document.getElementById("curve-fans");
    while (fans.firstChild) fans.removeChild(fans.firstChild);
    if (typeof temperature !== "number") { now.setAttribute("visibility", "hidden"); return; }
    var x = toView({ temperature: clamp(temperature, domain[0], domain[1]), percent: 0 }).x;
    now.setAttribute("x1", x.toFixed(1)); now.setAttribute("x2", x.toFixed(1));
    now.setAttribute("visibility", "visible");
    (curve.fans || []).forEach(function (fan) {
      var at = toView({ temperature: clamp(temperature, domain[0], domain[1]), percent: clamp(fan.percent, domain[2], domain[3]) });
      var c = document.createElementNS(SVG, "circle");
      c.setAttribute("class", "fan-mark");
      c.setAttribute("r", "5");
      c.setAttribute("cx", at.x.toFixed(1));
      c.setAttribute("cy", at.y.toFixed(1));
      c.setAttribute("data-fan", String(fan.id));
      c.setAttribute("data-percent", fan.percent.toFixed(1));
      var title = document.createElementNS(SVG, "title");
      title.textContent = texts.fan + " " + fan.id + ": " + temperature.toFixed(1) + " °C · " + fan.percent.toFixed(0) + " %";
      c.appendChild(title);
      fans.appendChild(c);
    });
  }

  document.addEventListener("DOMContentLoaded", function () {
    editor = document.getElementById("curve-editor");
    if (!editor) return;
    svg = document.getElementById("curve-graph");
    table = document.getElementById("curve-points");
    frame = editor.getAttribute("data-frame").split(" ").map(Number);
    domain = editor.getAttribute("data-domain").split(" ").map(Number);
    try { texts = JSON.parse(editor.getAttribute("data-texts")); } catch (e) {}
    readTable();

    svg.addEventListener("pointerdown", function (event) {
      var target = event.target;
      if (!target.classList || !target.classList.contains("handle")) return;
      dragging = Number(target.getAttribute("data-index"));
      svg.setPointerCapture(event.pointerId);
      event.preventDefault();
    });
    svg.addEventListener("pointermove", function (event) {
      if (dragging === null) return;
      var at = pointer(event);
      points[dragging] = fromView(at.x, at.y);
      writeValues(dragging);
      var handle = document.querySelectorAll("#curve-handles .handle")[dragging], v = toView(points[dragging]);
      handle.setAttribute("cx", v.x.toFixed(1));
      handle.setAttribute("cy", v.y.toFixed(1));
      var line = [];
      points.forEach(function (p) { var q = toView(p); line.push(q.x.toFixed(1) + "," + q.y.toFixed(1)); });
      document.getElementById("curve-line").setAttribute("points", line.join(" "));
      check();
    });
    var release = function () { if (dragging !== null) { dragging = null; drawCurve(); check(); } };
    svg.addEventListener("pointerup", release);
    svg.addEventListener("pointercancel", release);

    table.addEventListener("input", function () { readTable(); changed(false); });
    table.addEventListener("click", function (event) {
      var button = event.target.closest(".point-remove");
      if (!button) return;
      points.splice(button.closest("tr").rowIndex - 1, 1);
      changed(true);
    });
    document.getElementById("curve-add").addEventListener("click", addPoint);
    document.getElementById("curve-duration").addEventListener("input", check);
    document.getElementById("curve-preset").addEventListener("change", function () {
      var select = this, option = select.options[select.selectedIndex];
      try {
        var curve = JSON.parse(option.getAttribute("data-curve"));
        points = curve.points;
        table.setAttribute("data-sensor", curve.sensor);
        var sensors = document.getElementById("curve-sensor").options;
        for (var i = 0; i < sensors.length; i++) sensors[i].selected = sensors[i].getAttribute("data-sensor") === curve.sensor;
        changed(true);
      } catch (e) {}
    });
    document.getElementById("curve-sensor").addEventListener("change", function () {
      table.setAttribute("data-sensor", this.options[this.selectedIndex].getAttribute("data-sensor"));
      check();
    });
    document.getElementById("curve-start").addEventListener("click", function () {
      editor.setAttribute("data-starting", "true");
    });
    document.addEventListener("kilnview:state", function (event) { live(event.detail); });
  });
})();
