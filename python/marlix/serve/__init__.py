"""The host: runs a card's model servers and routes requests to them."""
