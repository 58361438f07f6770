// History charts and overview sparklines. The server draws every chart (its geometry is the
// core's); this script refetches them each second so they stay live, switches the window,
// names local clock times with the zone, and reads out the time and every series' value under
// the pointer or the keyboard cursor.
(function () {
  "use strict";
  var lang = document.documentElement.lang || "";
  var zone = "";
  try { zone = Intl.DateTimeFormat().resolvedOptions().timeZone || ""; } catch (e) {}
  var cursor = null;  // {chart id, seconds before the end} kept across refreshes
  var clock = function (date, seconds) {
    return date.toLocaleTimeString(lang || undefined, seconds ? { hour: "2-digit", minute: "2-digit", second: "2-digit" } : { hour: "2-digit", minute: "2-digit" });
  };

  function series(svg) {
    return Array.prototype.map.call(svg.querySelectorAll("g.data"), function (g) {
      return {
        name: g.getAttribute("data-name"),
        xs: (g.getAttribute("data-x") || "").split(" ").filter(Boolean).map(Number),
        vs: (g.getAttribute("data-v") || "").split(" ").filter(Boolean).map(Number)
      };
    });
  }

  function unitOf(svg) {
    var units = svg.querySelectorAll("text.unit");
    return units.length ? units[units.length - 1].textContent : "";
  }

  // Shows the readout at view x `x` (clamped to the frame).
  function readAt(svg, x) {
    var frame = svg.getAttribute("data-frame").split(" ").map(Number);
    var end = Number(svg.getAttribute("data-end")), seconds = Number(svg.getAttribute("data-seconds"));
    x = Math.min(frame[1], Math.max(frame[0], x));
    var offset = (frame[1] - x) / (frame[1] - frame[0]) * seconds;
    var line = svg.querySelector("line.cursor");
    if (!line) {
      line = document.createElementNS("http://www.w3.org/2000/svg", "line");
      line.setAttribute("class", "cursor");
      var frameRect = svg.querySelector("rect.frame");
      line.setAttribute("y1", frameRect.getAttribute("y"));
      line.setAttribute("y2", Number(frameRect.getAttribute("y")) + Number(frameRect.getAttribute("height")));
      svg.appendChild(line);
    }
    line.setAttribute("x1", x.toFixed(1));
    line.setAttribute("x2", x.toFixed(1));
    var parts = [clock(new Date((end - offset) * 1000), true) + (zone ? " (" + zone + ")" : "")];
    var unit = unitOf(svg);
    series(svg).forEach(function (s) {
      var best = -1, distance = Infinity;
      for (var i = 0; i < s.xs.length; i++) {
        var d = Math.abs(s.xs[i] - x);
        if (d < distance) { distance = d; best = i; }
      }
      if (best >= 0 && distance <= 12) parts.push(s.name + " " + s.vs[best].toFixed(1) + " " + unit);
    });
    var readout = svg.parentNode.querySelector(".readout");
    if (readout) readout.textContent = parts.join(" · ");
    cursor = { id: svg.parentNode.id, offset: offset };
  }

  function wireChart(svg) {
    var frame = svg.getAttribute("data-frame");
    if (!frame) return;
    svg.addEventListener("pointermove", function (event) {
      var p = svg.createSVGPoint();
      p.x = event.clientX; p.y = event.clientY;
      readAt(svg, p.matrixTransform(svg.getScreenCTM().inverse()).x);
    });
    svg.addEventListener("pointerleave", function () { cursor = null; });
    svg.addEventListener("focus", function () {
      var f = frame.split(" ").map(Number);
      readAt(svg, f[1]);
    });
    svg.addEventListener("keydown", function (event) {
      if (event.key !== "ArrowLeft" && event.key !== "ArrowRight") return;
      var line = svg.querySelector("line.cursor"), f = frame.split(" ").map(Number);
      var x = line ? Number(line.getAttribute("x1")) : f[1];
      readAt(svg, x + (event.key === "ArrowLeft" ? -8 : 8));
      event.preventDefault();
    });
  }

  function caption() {
    var svg = document.querySelector("#history-charts svg.chart"), node = document.querySelector(".chart-clock");
    if (!svg || !node) return;
    var end = Number(svg.getAttribute("data-end")), seconds = Number(svg.getAttribute("data-seconds"));
    node.textContent = clock(new Date((end - seconds) * 1000)) + " – " + clock(new Date(end * 1000)) + (zone ? " (" + zone + ")" : "");
  }

  function wireAll(container) {
    Array.prototype.forEach.call(container.querySelectorAll("svg.chart"), wireChart);
    caption();
    if (cursor) {
      var figure = document.getElementById(cursor.id), svg = figure && figure.querySelector("svg.chart");
      if (svg) {
        var f = svg.getAttribute("data-frame").split(" ").map(Number), seconds = Number(svg.getAttribute("data-seconds"));
        readAt(svg, f[1] - cursor.offset / seconds * (f[1] - f[0]));
      }
    }
  }

  var loading = false;
  function refresh(container) {
    if (loading) return;
    loading = true;
    var minutes = container.getAttribute("data-minutes");
    fetch("/history/charts?minutes=" + minutes + "&lang=" + encodeURIComponent(lang), { credentials: "same-origin" })
      .then(function (r) { return r.ok ? r.text() : null; })
      .then(function (html) {
        if (html !== null && container.getAttribute("data-minutes") === minutes) {
          var focused = document.activeElement && document.activeElement.closest && document.activeElement.closest("figure");
          var focusId = focused ? focused.id : null;
          container.innerHTML = html;
          wireAll(container);
          if (focusId) {
            var svg = document.querySelector("#" + focusId + " svg.chart");
            if (svg) svg.focus({ preventScroll: true });
          }
        }
      })
      .catch(function () {})
      .then(function () { loading = false; });
  }

  function localTimes() {
    Array.prototype.forEach.call(document.querySelectorAll("table.modes time[datetime]"), function (node) {
      var date = new Date(node.getAttribute("datetime"));
      if (!isNaN(date)) node.textContent = clock(date, true);
    });
  }

  function sparklines() {
    var every = document.querySelector("table.sensors") ? "?sensors=all" : "";
    fetch("/history/sparklines" + every, { credentials: "same-origin" })
      .then(function (r) { return r.ok ? r.json() : null; })
      .then(function (lines) {
        if (!lines) return;
        Object.keys(lines).forEach(function (key) {
          // Keys are the device's own names: quoted for the selector, whatever they hold.
          var quoted = '"' + CSS.escape(key) + '"]';
          var value = document.querySelector('.card [data-live=' + quoted);
          var card = value ? value.closest(".card") : document.querySelector('[data-spark=' + quoted);
          if (!card) return;
          var holder = card.querySelector(".spark-holder");
          if (!holder) {
            holder = document.createElement("div");
            holder.className = "spark-holder";
            card.appendChild(holder);
          }
          holder.innerHTML = lines[key];
        });
      })
      .catch(function () {});
  }

  document.addEventListener("DOMContentLoaded", function () {
    var container = document.getElementById("history-charts");
    if (container) {
      wireAll(container);
      localTimes();
      document.addEventListener("kilnview:state", function () { refresh(container); });
      Array.prototype.forEach.call(document.querySelectorAll(".windows a.window"), function (link) {
        link.addEventListener("click", function (event) {
          event.preventDefault();
          Array.prototype.forEach.call(document.querySelectorAll(".windows a.window"), function (other) {
            if (other === link) other.setAttribute("aria-current", "true"); else other.removeAttribute("aria-current");
          });
          container.setAttribute("data-minutes", link.getAttribute("data-minutes"));
          loading = false;
          cursor = null;
          refresh(container);
        });
      });
    } else if (document.querySelector(".cards, [data-spark]")) {
      sparklines();
      var count = 0;
      document.addEventListener("kilnview:state", function () { if (++count % 5 === 0) sparklines(); });
    }
  });
})();
