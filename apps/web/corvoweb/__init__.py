"""corvo-web: the gateway between a corvo site and the browsers of its console."""
