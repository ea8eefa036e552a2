// The login page: posts the name and password as JSON; the gateway answers
// with an HttpOnly session cookie, and the console page takes over.
"use strict";

const form = document.getElementById("login-form");
const error = document.getElementById("login-error");

form.addEventListener("submit", async (event) => {
  event.preventDefault();
  error.textContent = "";
  const body = JSON.stringify({user: form.user.value, password: form.password.value});
  let reply;
  try {
    const response = await fetch("/login", {method: "POST", headers: {"Content-Type": "application/json"}, body});
    reply = await response.json();
    if (response.ok) {
      location.replace("/");
      return;
    }
  } catch (e) {
    reply = {error: "the gateway cannot be reached"};
  }
  form.password.value = "";
  error.textContent = reply.error || "refused";
});
