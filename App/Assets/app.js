// Kilnview page script: live values from /events (polling /api/state when the stream is not
// available), the language selector, and the fan actions on the Fans page. No framework.

// The appearance: the switch's choice ("light" or "dark") overrides the system's preference.
// The server paints each page in the choice its cookie names; a change applies at once and is
// kept in that cookie for the next pages.
(function () {
  "use strict";
  var root = document.documentElement;
  document.addEventListener("DOMContentLoaded", function () {
    var select = document.getElementById("theme");
    if (!select) return;
    select.addEventListener("change", function () {
      var choice = select.value;
      if (choice === "light" || choice === "dark") root.setAttribute("data-theme", choice);
      else root.removeAttribute("data-theme");
      document.cookie = "kilnview_theme=" + choice + "; Path=/; SameSite=Strict; Max-Age=" +
        (choice ? 31536000 : 0);
    });
  });
})();
(function () {
  "use strict";
  var lang = document.documentElement.lang || "zh-Hans";
  var tokenMeta = document.querySelector('meta[name="kilnview-token"]');
  var token = tokenMeta ? tokenMeta.content : "";

  function apply(state) {
    var live = state.live || {};
    Object.keys(live).forEach(function (key) {
      var nodes = document.querySelectorAll('[data-live="' + CSS.escape(key) + '"]');
      for (var i = 0; i < nodes.length; i++) {
        if (nodes[i].textContent !== live[key]) nodes[i].textContent = live[key];
      }
      // Notices that show only while they have something to say.
      var shown = document.querySelectorAll('[data-live-shown="' + key + '"]');
      for (var j = 0; j < shown.length; j++) shown[j].hidden = live[key] === "";
    });
    var headline = document.querySelector("section.headline");
    if (headline && typeof state.state === "number") headline.className = "headline state-" + state.state;
    var list = document.getElementById("findings");
    if (list && state.findings) {
      while (list.firstChild) list.removeChild(list.firstChild);
      if (state.findings.length === 0) {
        var none = document.createElement("li");
        none.className = "none";
        none.textContent = list.getAttribute("data-empty") || "—";
        list.appendChild(none);
      }
      state.findings.forEach(function (finding) {
        var item = document.createElement("li");
        item.className = "severity-" + finding.severity;
        var title = document.createElement("strong");
        title.textContent = finding.title;
        var tag = document.createElement("span");
        tag.className = "tag";
        tag.textContent = " " + finding.severityText;
        var detail = document.createElement("div");
        detail.className = "detail";
        detail.textContent = finding.detail;
        var action = document.createElement("div");
        action.className = "action";
        action.textContent = finding.action;
        item.appendChild(title);
        item.appendChild(tag);
        item.appendChild(detail);
        item.appendChild(action);
        list.appendChild(item);
      });
    }
    // The page modules (lease bar, curve editor, charts, tables) follow the same state.
    document.dispatchEvent(new CustomEvent("kilnview:state", { detail: state }));
  }

  // Pages drawn once say how old their values are: "{age}" in the template counts on.
  function tickAges() {
    var nodes = document.querySelectorAll(".age[data-date][data-template]");
    for (var i = 0; i < nodes.length; i++) {
      var seconds = Math.max(0, Math.floor((Date.now() - Number(nodes[i].getAttribute("data-date"))) / 1000));
      var text = nodes[i].getAttribute("data-template").replace("{age}", String(seconds));
      if (nodes[i].textContent !== text) nodes[i].textContent = text;
    }
  }

  var polling = null;
  function poll() {
    if (polling) return;
    polling = setInterval(function () {
      fetch("/api/state?lang=" + encodeURIComponent(lang), { credentials: "same-origin" })
        .then(function (r) { return r.ok ? r.json() : null; })
        .then(function (s) { if (s) apply(s); })
        .catch(function () {});
    }, 2000);
  }

  function listen() {
    if (!window.EventSource) return poll();
    var source = new EventSource("/events?lang=" + encodeURIComponent(lang));
    var failures = 0;
    source.onmessage = function (event) {
      failures = 0;
      try { apply(JSON.parse(event.data)); } catch (e) {}
    };
    source.onerror = function () {
      // A refused or broken stream: fall back to polling rather than retry forever.
      if (++failures >= 3 || source.readyState === EventSource.CLOSED) {
        source.close();
        poll();
      }
    };
  }

  function post(path, body) {
    return fetch(path, {
      method: "POST",
      credentials: "same-origin",
      headers: { "Content-Type": "application/json", "X-Kilnview-Token": token },
      body: JSON.stringify(body || {})
    }).then(function (r) {
      return r.json().catch(function () { return { ok: false, message: String(r.status) }; });
    });
  }

  function show(reply) {
    var area = document.getElementById("fan-result");
    if (!area) return;
    area.className = "result " + (reply.ok ? "ok" : "fail");
    area.textContent = reply.message || "";
    if (reply.advice) {
      var advice = document.createElement("span");
      advice.className = "advice";
      advice.textContent = reply.advice;
      area.appendChild(advice);
    }
  }

  function busy(button, promise) {
    var buttons = document.querySelectorAll(".actions button, #curve-start, .control-auto");
    for (var i = 0; i < buttons.length; i++) buttons[i].disabled = true;
    var area = document.getElementById("fan-result");
    if (area) { area.className = "result"; area.textContent = "…"; }
    return promise.then(show, function (e) { show({ ok: false, message: String(e) }); })
      .then(function () { for (var i = 0; i < buttons.length; i++) buttons[i].disabled = false; });
  }

  function curveBody() {
    var table = document.getElementById("curve-points");
    var points = [];
    var rows = table.tBodies[0].rows;
    for (var i = 0; i < rows.length; i++) {
      points.push({
        temperature: Number(rows[i].querySelector(".point-temperature").value),
        percent: Number(rows[i].querySelector(".point-percent").value)
      });
    }
    var body = { curve: { points: points, sensor: table.getAttribute("data-sensor") || "CPU" } };
    var duration = document.getElementById("curve-duration").value;
    if (duration !== "") body.durationSeconds = Number(duration);
    var label = document.getElementById("curve-label").value;
    if (label) body.label = label;
    return body;
  }

  function wire(id, handler) {
    var node = document.getElementById(id);
    if (node) node.addEventListener("click", function () { handler(node); });
  }

  document.addEventListener("DOMContentLoaded", function () {
    var list = document.getElementById("findings");
    if (list) {
      var none = list.querySelector(".none");
      if (none) list.setAttribute("data-empty", none.textContent);
    }
    var select = document.getElementById("language");
    if (select) {
      select.addEventListener("change", function () {
        window.location.search = "?lang=" + encodeURIComponent(select.value);
      });
    }
    wire("fan-test", function (b) { busy(b, post("/api/fans/test")); });
    wire("fan-cooling", function (b) { busy(b, post("/api/fans/cooling")); });
    wire("fan-auto", function (b) { busy(b, post("/api/fans/auto")); });
    var backToAuto = document.querySelectorAll(".control-auto");
    for (var k = 0; k < backToAuto.length; k++) {
      backToAuto[k].addEventListener("click", function () { busy(this, post("/api/fans/auto")); });
    }
    wire("curve-start", function (b) { busy(b, post("/api/fans/curve", curveBody())); });
    listen();
    tickAges();
    setInterval(tickAges, 1000);
  });
})();
