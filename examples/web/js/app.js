// Small helpers shared by the controller's pages.
function pad(n) {
  return (n < 10 ? "0" : "") + n;
}

function showClock() {
  var cell = document.getElementById("clock");
  if (!cell) {
    return;
  }
  var now = new Date();
  cell.innerHTML = pad(now.getHours()) + ":" + pad(now.getMinutes()) + ":" + pad(now.getSeconds());
}

// Marks each cell with data-state="1" or "0" as on or off.
function paintStates() {
  var cells = document.getElementsByTagName("td");
  for (var i = 0; i < cells.length; i++) {
    var state = cells[i].getAttribute("data-state");
    if (state === "1") {
      cells[i].className = "on";
      cells[i].innerHTML = "ON";
    } else if (state === "0") {
      cells[i].className = "off";
      cells[i].innerHTML = "off";
    }
  }
}

function refreshEvery(seconds) {
  window.setTimeout(function () { window.location.reload(); }, seconds * 1000);
}
